% SPDX-License-Identifier: BSD-3-Clause
function varargout = plinden_llr(varargin)
%PLINDEN_LLR Max-log bit LLRs of PAM vectors from one tree search per column.
%   [L,S,NODES] = PLINDEN_LLR(Y,R,M,N0,CLIP,LA)
%
%   See also PLINDEN_BATCH, PLINDEN.

% This file holds the help text; the MEX file plinden_llr beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['plinden_llr: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end

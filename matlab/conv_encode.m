% SPDX-License-Identifier: BSD-3-Clause
function varargout = conv_encode(varargin)
%CONV_ENCODE Encode frames with a binary convolutional code of rate 1/n.
%   C = CONV_ENCODE(U, CODE) encodes each column of U (a frame of k info
%   bits, 0 or 1) with the code CODE made by CONV_CODE, from state 0, and
%   appends the K-1 tail steps that return the encoder to state 0 (for a
%   recursive code, the tail inputs that feed back zeros). C is
%   (n*(k+K-1))-by-F: step after step, each step's n code bits in the order
%   of CODE.G (a recursive systematic code sends the systematic bit first).
%   C = CONV_ENCODE(U, CODE, 'terminate', false) gives unterminated frames,
%   (n*k)-by-F, that end in whatever state the last info bit leaves.
%
%   Inputs
%     U     real double k-by-F of 0 and 1, one frame per column (k = 0 or
%           F = 0 give empty frames; a terminated empty frame is its tail).
%     CODE  the struct of CONV_CODE (checked again: K, G, F as CONV_CODE
%           checks them, and next and outputs must be their trellis).
%   Options (Name, Value; names case-insensitive)
%     'terminate'  true (default) or false.
%
%   Errors: "U column 3 must hold only 0 and 1", "U must be a real double
%   array", "code.G column 2 must be a polynomial in octal digits (0 to 7)",
%   "code.next does not match code.K, code.G and code.F", "terminate must be
%   true or false", "unknown option 'x' (known: 'terminate')",
%   and "USAGE: C=conv_encode(U,code,'terminate',tf)" for a wrong count of
%   arguments. (Their identifiers, where the host gives them, are
%   latbox:conv_encode:U, :code, :options.)
%
%   Example
%     code = conv_code(3, [7 5]);            % the (7,5) code, K = 3
%     C = conv_encode([1; 0; 1; 1], code);    % 2*(4+2) = 12 code bits
%     C.'                                     % 1 1 1 0 0 0 0 1 0 1 1 1
%
%   See also CONV_CODE, CONV_DECODE.

% This file holds the help text; the MEX file conv_encode beside it or earlier
% on the path is called instead. Reaching this line means it is not built or not
% found.
error('latbox:notBuilt', ...
      ['conv_encode: the MEX file is not built or not on the path; ' ...
       'run make_latbox, then addpath the folder that holds it']);
end

// Conversion of a request's URL argument back into the server's path form, in which the slashes
// inside an object name are encoded as %2F and every other byte of a path token that is not a
// letter, a digit or "_" is percent-encoded.
//
// Owns nothing beyond one call: the converted text is handed to the argument node, which the list
// frees. Never writes to the browser; its early exits are recorded in the trace only.
#pragma once

#include <cstddef>

#include "front/korproxy_args.h"

// A value cut into more path tokens than this is passed on unconverted.
inline constexpr size_t kMaxUrlTokens = 256;

// Converts `node->value` when it contains "object": on success `value` is a new text and
// `ownsValue` is 1 (the old value, part of the list's text, is left alone). A null node or value,
// a value without "object", too many tokens or a failed allocation leave the node as it was.
void ConvertUrlBack(ArgNode* node);

// Guards for POSIX regular expressions from outside input (list files,
// report definitions, filter rules) before they reach glibc's regcomp and
// regexec, whose cost some patterns make explode.
#pragma once

#include <string_view>

// True when the pattern would compile to more than max_nodes nodes, or nests
// its groups deeper than 100 levels. glibc's regcomp copies a repeated
// sub-expression once per repetition and computes closures over every
// quantifier in time that grows faster than their number, and its parser
// recurses once per group level. Each atom, group, alternative and
// quantifier counts as a node; bounded repetitions multiply. Null: false.
bool kxregex_too_large(const char *pattern, long long max_nodes);

// True when the pattern holds a back-reference ("\1" .. "\9"), with which
// glibc's matcher backtracks, in time exponential in the text's length.
bool kxregex_has_back_reference(std::string_view pattern);

// What every caller applies to a pattern from outside input: refused when
// too large (kxregex_too_large) or holding a back-reference.
bool kxregex_refused(const char *pattern, long long max_nodes);

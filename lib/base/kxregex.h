// Guards for POSIX regular expressions from outside input (list files,
// report definitions, filter rules) before they reach glibc's regcomp and
// regexec, whose cost some patterns make explode.
//
// What explodes in glibc is not length: its compiler copies a repeated
// sub-expression once per repetition (nested bounds multiply, each "+" on a
// "+" doubles), and it keeps for every node the set of nodes it reaches
// without reading a character, so a long run of pieces that may match
// nothing ("x?x?x?..."), loops over such pieces ("(a*)*", "a**") and a long
// flat alternation cost memory and time that grow with the square of their
// number or faster. A long text of ordinary pieces, such as an alternation
// of thousands of domains, costs little once its alternatives are nested a
// few at a time (kxregex_compile does that).
#pragma once

#include <regex.h>

#include <string_view>

// True when the pattern would compile to more than max_nodes nodes, or nests
// its groups deeper than 100 levels. Each atom, group, alternative and
// quantifier counts as a node; bounded repetitions multiply. Null: false.
bool kxregex_too_large(const char *pattern, long long max_nodes);

// True when the pattern holds a back-reference ("\1" .. "\9"), with which
// glibc's matcher backtracks, in time exponential in the text's length.
bool kxregex_has_back_reference(std::string_view pattern);

// True when the sets of nodes reached without reading a character would
// take glibc's compiler too much memory or time: runs of pieces that may
// match nothing, quantifiers over such pieces, anchors among them and
// alternatives side by side, weighed by how glibc builds them (more than
// about 2900 "a*" in a row, 2000 flat alternatives, 500 "x*?" or 250 "$"
// are too much). Null: false.
bool kxregex_closures_too_large(const char *pattern);

// True when the pattern repeats without bound something that may match the
// empty text ("(a*)*", "a**", "(x|y?)+", "(^)*"): glibc's compiler then
// walks loops of empty steps, in time that doubles with each more of them
// among anchors. Nothing a pattern means needs one ("(a*)*" is "a*").
// Null: false.
bool kxregex_has_empty_loop(const char *pattern);

// What every caller applies to a pattern from outside input: refused when
// too large (kxregex_too_large), holding a back-reference or an empty loop,
// or its closures too large.
bool kxregex_refused(const char *pattern, long long max_nodes);

// regcomp for a pattern from outside input. Alternations of more than 16
// alternatives are compiled as a tree of groups of at most 16, which
// matches the same texts at a small part of the cost; with captures
// (cflags without REG_NOSUB) only alternations whose alternatives hold no
// group of their own are so nested, and *group (may be null), a capture
// group number of the pattern as written, becomes its number in the
// compiled expression. A refused pattern (kxregex_refused, on the text
// compiled) gives REG_ESPACE without compiling; otherwise as regcomp (with
// the pattern as written when the nested form does not compile).
int kxregex_compile(regex_t *re, const char *pattern, int cflags, long long max_nodes, int *group = nullptr);

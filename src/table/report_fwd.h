// The report run as the table modules see it: an opaque handle.
//
// The table writer takes the run only to learn its IP storage setting and to
// charge the header bytes it writes; every such use accepts a null run.
#pragma once

struct REPORT;

// The install root and paths below it.
#pragma once

// The install root, set once by kxpath_init (null before). Owned here.
extern char *kxpath_path;

// Sets the install root from the environment variable KX_PATH; when it is not
// set, sets KX_PATH to "/usr/local/tallowmere" and uses that. Call once at
// start-up, before any thread starts.
void kxpath_init();

// New heap string of the install root joined with path: "ROOT/path", or
// ROOT directly followed by path when path starts with "/". Null on
// allocation failure, for a null path, or before kxpath_init (a caller error).
char *kxpath_append(const char *path);

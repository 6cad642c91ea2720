// The command line of autoprovision-fetch, kept out of main() so that tests
// run it in-process.
#ifndef FETCH_FETCH_TOOL_H
#define FETCH_FETCH_TOOL_H

#include <ostream>

// Runs "autoprovision-fetch [--mac TEXT] [--dir DIR] URL"; returns the exit
// status (a FetchResult). The result line goes to out, failures to err.
int RunFetch(int argc, const char* const argv[], std::ostream& out, std::ostream& err);

#endif

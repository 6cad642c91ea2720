// The command line of autoprovision-fetch, kept out of main() so that tests
// run it in-process.
#ifndef FETCH_FETCH_TOOL_H
#define FETCH_FETCH_TOOL_H

#include <string>

// Runs "autoprovision-fetch [--mac TEXT] [--dir DIR] URL"; returns the exit
// status (a FetchResult). The result line is appended to out, failures to err.
// Texts rather than streams: the tool then never sets up the C++ standard
// streams and their locale, a good part of its start-up.
int RunFetch(int argc, const char* const argv[], std::string& out, std::string& err);

#endif

// Entry point of autoprovision-fetch: one configuration download, run by hand.
#include <iostream>

#include "fetch/fetch_tool.h"

int main(int argc, char* argv[])
{
    return RunFetch(argc, argv, std::cout, std::cerr);
}

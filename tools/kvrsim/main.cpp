// kvrsim: loads the driver on the simulated kernel and runs a scenario on the
// virtual clock.

#include "cli.h"

#include <iostream>

int main(int argc, char **argv)
{
    std::vector<std::string> Args(argv + 1, argv + argc);
    int Status = kvrsim::KvrsimMain(Args, std::cin, std::cout, std::cerr);
    std::cout.flush();
    return Status;
}

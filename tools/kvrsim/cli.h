// The command line of kvrsim.

#ifndef KVRSIM_CLI_H
#define KVRSIM_CLI_H

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace kvrsim
{

// Exit statuses.
constexpr int ExitOk = 0;
constexpr int ExitExpectFailed = 1;
constexpr int ExitUsage = 2;

// Runs kvrsim with the arguments after the program name. Standard input is
// In (for the scenario "-"); the transcript goes to Out, messages to Err.
int KvrsimMain(const std::vector<std::string> &Args, std::istream &In, std::ostream &Out,
               std::ostream &Err);

// `kvrsim ids`: the identifier tables as one JSON object and a newline.
void PrintIds(std::ostream &Out);

// The built-in scenario's text.
const char *BuiltInScenario();

} // namespace kvrsim

#endif // KVRSIM_CLI_H

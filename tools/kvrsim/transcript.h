// The run's output: one event a line, as a readable timeline or as JSON
// lines. Both forms are deterministic: the same events give the same bytes.

#ifndef KVRSIM_TRANSCRIPT_H
#define KVRSIM_TRANSCRIPT_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kvrsim
{

enum class KeyName { Product, Peer };

// One value of a registry key, for `show`.
struct RegValue {
    std::string Name;
    uint32_t Type = 0;
    std::vector<uint8_t> Data;
};

class Transcript
{
  public:
    Transcript(std::ostream &Stream, bool JsonLines) : Out(Stream), Json(JsonLines) {}

    void Boot(uint64_t T, uint32_t Status);
    void Notify(uint64_t T, const char *Kind, const std::string &Name);
    void Open(uint64_t T, bool Ok);
    void Release(uint64_t T);
    // Status is the sibling driver's status, or nothing when the request
    // could not be built.
    void Request(uint64_t T, unsigned Cmd, bool Built, uint32_t Status);
    void RegWrite(uint64_t T, KeyName Key, const std::string &Name, uint32_t Type,
                  const std::vector<uint8_t> &Data, bool Ok);
    // A write under a key that is neither of the two: the key by its path.
    void RegWriteOther(uint64_t T, const std::string &Path, const std::string &Name, uint32_t Type,
                       const std::vector<uint8_t> &Data, bool Ok);
    void Ioctl(uint64_t T, uint32_t Code, uint32_t Status, uint64_t Info,
               const std::vector<uint8_t> &Copied);
    void Power(uint64_t T, uint32_t State);
    void Expect(uint64_t T, bool Ok, unsigned Line, const std::string &Message);
    void Show(uint64_t T, const std::vector<RegValue> &Values);
    void Violation(uint64_t T, const std::string &Message);
    // Timeline only: the closing line with the count of failures.
    void End(uint64_t T, unsigned Failures);

  private:
    void Stamp(uint64_t T, const char *Ev);

    std::ostream &Out;
    bool Json;
};

// Escapes a text for a JSON string (quotes, backslashes, control bytes).
std::string JsonEscape(const std::string &S);

} // namespace kvrsim

#endif // KVRSIM_TRANSCRIPT_H

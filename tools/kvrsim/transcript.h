// The run's output: one event a line, as a readable timeline or as JSON
// lines, and the closing summary. Both forms are deterministic: the same
// events give the same bytes. Lines are written as they come; nothing is
// kept but the turn being collapsed in the changes-only view.

#ifndef KVRSIM_TRANSCRIPT_H
#define KVRSIM_TRANSCRIPT_H

#include <array>
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

// What happened to the requests of one command byte.
struct CommandCounts {
    uint64_t Sent = 0;     // passed to the sibling driver
    uint64_t Pending = 0;  // of those, left pending
    uint64_t Failed = 0;   // of those, answered with an error status at once
    uint64_t NotBuilt = 0; // could not be built
    uint64_t Late = 0;     // pending ones completed later
    uint64_t Busy = 0;     // not sent: the site's request was still outstanding
};

// The counts of the closing summary, kept by the runner as events come.
struct RunSummary {
    uint64_t ExpectsHeld = 0, ExpectsFailed = 0;
    std::array<CommandCounts, 256> Requests{};
    uint64_t RegChanges = 0, RegRewrites = 0, RegRefused = 0;
    uint64_t Findings = 0;
};

// The peer commands by name: 1 panel, 4 mode, 6 input, 7 input-again.
const char *PeerCommandName(unsigned Cmd); // nullptr for another byte

class Transcript
{
  public:
    // Changes: the changes-only view: registry writes that store the bytes
    // already there are left out, and a turn (the events of one virtual
    // millisecond) identical to the one printed before it is counted, not
    // printed.
    Transcript(std::ostream &Stream, bool JsonLines, bool Changes = false)
        : Out(Stream), Json(JsonLines), ChangesOnly(Changes)
    {
    }

    void Boot(uint64_t T, uint32_t Status);
    void Notify(uint64_t T, const char *Kind, const std::string &Name);
    void Open(uint64_t T, bool Ok);
    void Release(uint64_t T);
    // Status is the sibling driver's status, or nothing when the request
    // could not be built.
    void Request(uint64_t T, unsigned Cmd, bool Built, uint32_t Status);
    // A request left pending, completed.
    void Complete(uint64_t T, unsigned Cmd, uint32_t Status);
    // A site found its request of this command still outstanding.
    void Busy(uint64_t T, unsigned Cmd);
    // Changed: the write stored other bytes (or another type) than the value
    // held, or made the value.
    void RegWrite(uint64_t T, KeyName Key, const std::string &Name, uint32_t Type,
                  const std::vector<uint8_t> &Data, bool Ok, bool Changed);
    // A write under a key that is neither of the two: the key by its path.
    void RegWriteOther(uint64_t T, const std::string &Path, const std::string &Name, uint32_t Type,
                       const std::vector<uint8_t> &Data, bool Ok, bool Changed);
    void Ioctl(uint64_t T, uint32_t Code, uint32_t Status, uint64_t Info,
               const std::vector<uint8_t> &Copied);
    void Power(uint64_t T, uint32_t State);
    // A step of the adapter's device: add, start, open, remove, unload.
    void Adapter(uint64_t T, const std::string &What, uint32_t Status);
    // The system's sleep, hibernation or resume.
    void System(uint64_t T, const std::string &What);
    // Plug and play of the sibling's device: What is surprise-removal,
    // query-remove, remove-cancelled (Detail: why), remove-complete, remove,
    // add (with its status), register or unregister (the driver's
    // target-device registration).
    void Pnp(uint64_t T, const std::string &What, const std::string &Detail, uint32_t Status);
    // A call of the GDI engine into the display driver and its result.
    void Display(uint64_t T, const std::string &Call, bool Ok, const std::string &Result);
    // A program's ExtEscape: the escape, the input, DrvEscape's value and the
    // caller's whole output buffer after the call.
    void Escape(uint64_t T, uint32_t Code, const std::vector<uint8_t> &In, uint32_t Result,
                const std::vector<uint8_t> &Output);
    void Expect(uint64_t T, bool Ok, unsigned Line, const std::string &Message);
    void Show(uint64_t T, const std::vector<RegValue> &Values);
    void Violation(uint64_t T, const std::string &Message);
    // The closing summary: the last line of the timeline, the last event of
    // the JSON lines (a transcript without it was cut short).
    void End(uint64_t T, const RunSummary &Summary);

  private:
    // Kind of a line for the changes-only view.
    enum class Fold { Never, Turn, Rewrite };
    void Line(uint64_t T, const char *Ev, const std::string &Body, Fold How = Fold::Never,
              const std::string &Name = {});
    void Write(uint64_t T, const char *Ev, const std::string &Body);
    void CloseTurn();
    void FlushRepeats();
    void RegLine(uint64_t T, const std::string &Key, const std::string &Name, uint32_t Type,
                 const std::vector<uint8_t> &Data, bool Ok, bool Changed, bool Decode);

    std::ostream &Out;
    bool Json;
    bool ChangesOnly;

    // The changes-only view: the turn being gathered, the last one printed,
    // and the identical turns counted since.
    struct TurnLine {
        std::string Ev, Body;
        uint64_t Offset = 0; // ms after the turn's time (a late completion)
    };
    bool InTurn = false;
    uint64_t TurnTime = 0;
    std::vector<TurnLine> Turn;
    std::vector<std::string> Rewritten;
    std::string LastTurn;
    bool HaveLastTurn = false;
    uint64_t Repeats = 0, RepeatFrom = 0, RepeatTo = 0;
};

// Escapes a text for a JSON string (quotes, backslashes, control bytes).
std::string JsonEscape(const std::string &S);

} // namespace kvrsim

#endif // KVRSIM_TRANSCRIPT_H

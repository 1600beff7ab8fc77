// Scenario files: the command table and the parser.
//
// A scenario is a text of one command a line. The parser turns the whole text
// into a list of commands before anything runs, so that a bad line stops the
// tool with FILE:LINE and no side effect.

#ifndef KVRSIM_SCENARIO_H
#define KVRSIM_SCENARIO_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvrsim
{

enum class Op {
    Boot,
    Plug,
    Unplug,
    Notify,
    Peer,
    FrameMode,
    FramePanel,
    FrameInput,
    FrameReply,
    FrameComplete,
    FrameRemove,
    FrameAdd,
    FrameNoBuild,
    RegSet,
    RegDel,
    RegFail,
    RegFailOff,
    PoolFail,
    Power,
    Adapter,
    System,
    Ioctl,
    Wait,
    PnpExisting,
    Trace,
    ExpectReg,
    ExpectIoctl,
    ExpectRequests,
    Show,
    Display,
    DisplayFailMap,
    DrawFill,
    DrawCopy,
    Escape,
    ExpectPixel,
    ExpectEscape,
};

enum class NotifyKind { Arrival, Removal, Other };
enum class FrameReplyMode { Now, Pending, Fail, After };
enum class FrameRemoval { Surprise, Orderly, Refused };
enum class RegType { Dword, Sz, Binary };
enum class RegFailWhat { Write, Read };
enum class AdapterAction { FailAdd, FailStart, Remove, Disable, Enable };
enum class SystemAction { Sleep, Hibernate, Resume };
// How the system comes back: the frame as the same device, its requests
// pending across the sleep answered or cancelled; or the frame as a new
// device (a removal and an arrival).
enum class ResumeAs { Answered, Cancelled, Replugged };

// One parsed command. Only the members that its Op names are meaningful.
struct Command {
    Op Kind{};
    unsigned Line = 0;

    // plug/unplug: Vid, Pid, Instance. notify: Name. reg: Name.
    std::string Vid, Pid, Instance, Name;
    NotifyKind Notify = NotifyKind::Arrival;
    AdapterAction Adapter = AdapterAction::Remove; // adapter (fail-add, fail-start: Value)
    SystemAction System = SystemAction::Sleep;     // system
    ResumeAs Resume = ResumeAs::Answered;          // system resume [cancel|replug]
    bool UsbClass = true;                          // notify class=usb (default) or class=other
    bool PeerKey = false;                          // reg ... peer:NAME
    bool Present = true;                           // peer present|absent; expect reg HEX|absent
    bool AdapterFirst = false;                     // boot adapter-first
    bool On = true;                                // trace on|off

    FrameReplyMode Reply = FrameReplyMode::Now;
    FrameRemoval Removal = FrameRemoval::Surprise;
    RegType Type = RegType::Dword;
    RegFailWhat FailWhat = RegFailWhat::Write;

    // frame reply after=MS / frame mode N / nobuild N / reg fail N / pool fail N / power N /
    // wait MS / ioctl code / expect ioctl STATUS / expect requests N: Value.
    // frame panel, frame input and pnp existing: Value and Value2.
    uint64_t Value = 0, Value2 = 0;

    std::string Text;           // reg set ... sz VALUE
    std::vector<uint8_t> Bytes; // reg set binary, expect reg, ioctl in=
    uint32_t OutLength = 0;     // ioctl out=N; pnp existing after=MS

    // draw fill X Y W H (Color), draw copy X Y W H TOX TOY; expect pixel X Y (Color).
    std::vector<int64_t> Numbers;
    uint32_t Color = 0;

    std::optional<uint64_t> ExpectInfo;            // expect ioctl info=N
    std::optional<std::vector<uint8_t>> ExpectOut; // expect ioctl out=HEX
};

struct Scenario {
    std::string FileName; // as given, for messages
    std::vector<Command> Commands;
    bool HasBoot = false;
    bool Vista = false; // the simulated kernel follows Vista x64 (else 7 x64)
};

// A scenario error: the line it was found on (0 when it concerns the file as
// a whole) and the message.
struct ParseError {
    unsigned Line = 0;
    std::string Message;
};

// Parses a whole scenario text. On success fills Out and returns nothing; on
// the first bad line returns its error.
std::optional<ParseError> ParseScenario(std::string_view Text, Scenario &Out);

// The command table, for --help and the documentation of the syntax.
struct CommandHelp {
    const char *Syntax;
    const char *Effect;
};
const std::vector<CommandHelp> &CommandTable();

// The nine private control codes by name.
struct ControlName {
    const char *Name;
    uint32_t Code;
};
const std::vector<ControlName> &ControlNames();
const char *ControlCodeName(uint32_t Code); // nullptr for a code not in the table

// Hex texts, shared by the parser and the printers: lower-case digits,
// no separators.
std::string HexBytes(const uint8_t *Data, size_t Length);
inline std::string HexBytes(const std::vector<uint8_t> &Data)
{
    return HexBytes(Data.data(), Data.size());
}

} // namespace kvrsim

#endif // KVRSIM_SCENARIO_H

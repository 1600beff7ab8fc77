// The scenario parser: words, numbers, hex texts and the command table.

#include "scenario.h"

#include <cstdio>

namespace kvrsim
{

namespace
{

struct Word {
    std::string_view Text;
    size_t End; // offset just past the word in its line
};

bool IsBlank(char C)
{
    return C == ' ' || C == '\t';
}

// Splits a line into words. A word that begins with '#' starts a comment and
// ends the line; a '#' inside a word (as in an interface name) is ordinary.
std::vector<Word> SplitWords(std::string_view Line)
{
    std::vector<Word> Words;
    size_t I = 0;
    while (I < Line.size()) {
        while (I < Line.size() && IsBlank(Line[I]))
            ++I;
        if (I == Line.size() || Line[I] == '#')
            break;
        size_t Start = I;
        while (I < Line.size() && !IsBlank(Line[I]))
            ++I;
        Words.push_back({Line.substr(Start, I - Start), I});
    }
    return Words;
}

// Thrown nowhere: every parse step returns a message or nothing.
using Error = std::optional<std::string>;

Error ParseNumber(std::string_view Word, uint64_t Max, const char *What, uint64_t &Out)
{
    uint64_t V = 0;
    bool Any = false;
    bool Overflow = false;
    if (Word.size() > 2 && Word[0] == '0' && (Word[1] == 'x' || Word[1] == 'X')) {
        for (char C : Word.substr(2)) {
            unsigned D;
            if (C >= '0' && C <= '9')
                D = unsigned(C - '0');
            else if (C >= 'a' && C <= 'f')
                D = unsigned(C - 'a' + 10);
            else if (C >= 'A' && C <= 'F')
                D = unsigned(C - 'A' + 10);
            else
                return std::string("bad ") + What + " '" + std::string(Word) +
                       "': expected a decimal or 0x-hex number";
            if (V > (UINT64_MAX >> 4))
                Overflow = true;
            V = (V << 4) | D;
            Any = true;
        }
    } else {
        for (char C : Word) {
            if (C < '0' || C > '9')
                return std::string("bad ") + What + " '" + std::string(Word) +
                       "': expected a decimal or 0x-hex number";
            unsigned D = unsigned(C - '0');
            if (V > (UINT64_MAX - D) / 10)
                Overflow = true;
            V = V * 10 + D;
            Any = true;
        }
    }
    if (!Any)
        return std::string("bad ") + What + " '" + std::string(Word) +
               "': expected a decimal or 0x-hex number";
    if (Overflow || V > Max)
        return std::string(What) + " '" + std::string(Word) + "' is out of range (at most " +
               std::to_string(Max) + ")";
    Out = V;
    return {};
}

int HexDigit(char C)
{
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return -1;
}

Error ParseHex(std::string_view Word, const char *What, std::vector<uint8_t> &Out)
{
    if (Word.size() % 2 != 0)
        return std::string("bad ") + What + " '" + std::string(Word) +
               "': an even number of hex digits is needed";
    Out.clear();
    for (size_t I = 0; I < Word.size(); I += 2) {
        int Hi = HexDigit(Word[I]), Lo = HexDigit(Word[I + 1]);
        if (Hi < 0 || Lo < 0)
            return std::string("bad ") + What + " '" + std::string(Word) +
                   "': only hex digits, without separators";
        Out.push_back(uint8_t(Hi * 16 + Lo));
    }
    return {};
}

// "peer:NAME" or "NAME".
Error ParseValueName(std::string_view Word, Command &C)
{
    constexpr std::string_view Prefix = "peer:";
    if (Word.substr(0, Prefix.size()) == Prefix) {
        C.PeerKey = true;
        Word.remove_prefix(Prefix.size());
    }
    if (Word.empty())
        return std::string("missing value name");
    C.Name = std::string(Word);
    return {};
}

Error WordCount(const std::vector<Word> &W, size_t Min, size_t Max, const char *Syntax)
{
    if (W.size() < Min || W.size() > Max)
        return std::string("usage: ") + Syntax;
    return {};
}

constexpr uint64_t U8 = 0xFF;
constexpr uint64_t U32 = 0xFFFFFFFFu;
// The longest wait one command may ask for: a day of virtual time.
constexpr uint64_t MaxWaitMs = 86'400'000;
// The largest output buffer an ioctl command may ask for.
constexpr uint64_t MaxOutLength = 65'536;

Error ParseId(std::string_view Word, const char *What, std::string &Out)
{
    if (Word.size() != 4)
        return std::string(What) + " '" + std::string(Word) + "' must be four characters";
    Out = std::string(Word);
    return {};
}

// The largest coordinate or size a draw or pixel command may give.
constexpr uint64_t MaxCoordinate = 65'535;

// RRGGBB: six hex digits.
Error ParseColor(std::string_view Word, uint32_t &Out)
{
    std::vector<uint8_t> Bytes;
    if (Word.size() != 6 || ParseHex(Word, "colour", Bytes))
        return "bad colour '" + std::string(Word) + "': expected RRGGBB";
    Out = uint32_t(Bytes[0]) << 16 | uint32_t(Bytes[1]) << 8 | Bytes[2];
    return {};
}

// NAME|CODE [in=HEX] [out=N]: a control request, or an escape (which also
// takes QUERYESCSUPPORT, escape 8).
Error ParseRequest(const std::vector<Word> &W, Command &C, const char *Syntax)
{
    auto Arg = [&](size_t I) { return W[I].Text; };
    if (auto E = WordCount(W, 2, 4, Syntax))
        return E;
    bool Named = false;
    for (const ControlName &N : ControlNames())
        if (Arg(1) == N.Name) {
            C.Value = N.Code;
            Named = true;
        }
    if (C.Kind == Op::Escape && Arg(1) == "QUERYESCSUPPORT") {
        C.Value = 8;
        Named = true;
    }
    if (!Named) {
        if (Arg(1).empty() || Arg(1)[0] < '0' || Arg(1)[0] > '9') {
            std::string Known;
            for (const ControlName &N : ControlNames())
                Known += std::string(Known.empty() ? "" : ", ") + N.Name;
            return "unknown control code name '" + std::string(Arg(1)) + "' (" + Known +
                   ", or a number)";
        }
        if (auto E = ParseNumber(Arg(1), U32, "control code", C.Value))
            return E;
    }
    bool HaveIn = false, HaveOut = false;
    for (size_t I = 2; I < W.size(); ++I) {
        std::string_view A = Arg(I);
        if (A.substr(0, 3) == "in=" && !HaveIn) {
            HaveIn = true;
            if (auto E = ParseHex(A.substr(3), "input", C.Bytes))
                return E;
        } else if (A.substr(0, 4) == "out=" && !HaveOut) {
            HaveOut = true;
            uint64_t N = 0;
            if (auto E = ParseNumber(A.substr(4), MaxOutLength, "output length", N))
                return E;
            C.OutLength = uint32_t(N);
        } else {
            return "unexpected '" + std::string(A) + "' (in=HEX and out=N, each at most once)";
        }
    }
    return {};
}

Error ParseLine(std::string_view Line, const std::vector<Word> &W, Command &C)
{
    std::string_view Cmd = W[0].Text;
    auto Arg = [&](size_t I) { return W[I].Text; };

    if (Cmd == "boot") {
        C.Kind = Op::Boot;
        if (auto E = WordCount(W, 1, 2, "boot [adapter-first]"))
            return E;
        if (W.size() == 2) {
            if (Arg(1) != "adapter-first")
                return std::string("usage: boot [adapter-first]");
            C.AdapterFirst = true;
        }
        return {};
    }
    if (Cmd == "pnp") {
        C.Kind = Op::PnpExisting;
        constexpr const char *Syntax = "pnp existing 1|2 [later=N] [after=MS]";
        if (auto E = WordCount(W, 3, 5, Syntax))
            return E;
        if (Arg(1) != "existing")
            return std::string("usage: ") + Syntax;
        if (auto E = ParseNumber(Arg(2), 2, "copies", C.Value))
            return E;
        if (C.Value == 0)
            return std::string("bad copies '0': an existing interface is reported once or twice");
        bool SeenLater = false, SeenAfter = false;
        for (size_t I = 3; I < W.size(); ++I) {
            std::string_view A = Arg(I);
            if (A.substr(0, 6) == "later=" && !SeenLater) {
                SeenLater = true;
                if (auto E = ParseNumber(A.substr(6), C.Value, "later", C.Value2))
                    return E;
            } else if (A.substr(0, 6) == "after=" && !SeenAfter) {
                SeenAfter = true;
                uint64_t Ms = 0;
                if (auto E = ParseNumber(A.substr(6), MaxWaitMs, "after", Ms))
                    return E;
                C.OutLength = uint32_t(Ms);
            } else {
                return std::string("usage: ") + Syntax;
            }
        }
        return {};
    }
    if (Cmd == "trace") {
        C.Kind = Op::Trace;
        if (W.size() != 2 || (Arg(1) != "on" && Arg(1) != "off"))
            return std::string("usage: trace on|off");
        C.On = Arg(1) == "on";
        return {};
    }
    if (Cmd == "plug" || Cmd == "unplug") {
        C.Kind = Cmd == "plug" ? Op::Plug : Op::Unplug;
        if (auto E = WordCount(W, 4, 4,
                               Cmd == "plug" ? "plug VID PID INSTANCE" : "unplug VID PID INSTANCE"))
            return E;
        if (auto E = ParseId(Arg(1), "vendor ID", C.Vid))
            return E;
        if (auto E = ParseId(Arg(2), "product ID", C.Pid))
            return E;
        C.Instance = std::string(Arg(3));
        return {};
    }
    if (Cmd == "notify") {
        C.Kind = Op::Notify;
        constexpr const char *Syntax = "notify arrival|removal|other NAME [class=usb|other]";
        if (auto E = WordCount(W, 3, 4, Syntax))
            return E;
        if (Arg(1) == "arrival")
            C.Notify = NotifyKind::Arrival;
        else if (Arg(1) == "removal")
            C.Notify = NotifyKind::Removal;
        else if (Arg(1) == "other")
            C.Notify = NotifyKind::Other;
        else
            return std::string("usage: ") + Syntax;
        C.Name = std::string(Arg(2));
        if (W.size() == 4) {
            if (Arg(3) == "class=usb")
                C.UsbClass = true;
            else if (Arg(3) == "class=other")
                C.UsbClass = false;
            else
                return std::string("usage: ") + Syntax;
        }
        return {};
    }
    if (Cmd == "peer") {
        C.Kind = Op::Peer;
        if (W.size() != 2 || (Arg(1) != "present" && Arg(1) != "absent"))
            return std::string("usage: peer present|absent");
        C.Present = Arg(1) == "present";
        return {};
    }
    if (Cmd == "frame") {
        if (W.size() < 2)
            return std::string(
                "usage: frame mode|panel|input|reply|complete|remove|add|nobuild ...");
        std::string_view Sub = Arg(1);
        if (Sub == "mode") {
            C.Kind = Op::FrameMode;
            if (auto E = WordCount(W, 3, 3, "frame mode N"))
                return E;
            return ParseNumber(Arg(2), U8, "mode", C.Value);
        }
        if (Sub == "panel") {
            C.Kind = Op::FramePanel;
            if (auto E = WordCount(W, 4, 4, "frame panel TYPE AUX"))
                return E;
            if (auto E = ParseNumber(Arg(2), U8, "panel type", C.Value))
                return E;
            return ParseNumber(Arg(3), U8, "panel aux", C.Value2);
        }
        if (Sub == "input") {
            C.Kind = Op::FrameInput;
            if (auto E = WordCount(W, 4, 4, "frame input B0 B1"))
                return E;
            if (auto E = ParseNumber(Arg(2), U8, "input byte", C.Value))
                return E;
            return ParseNumber(Arg(3), U8, "input byte", C.Value2);
        }
        if (Sub == "reply") {
            C.Kind = Op::FrameReply;
            constexpr const char *Syntax = "frame reply now|pending|fail|after=MS";
            if (auto E = WordCount(W, 3, 3, Syntax))
                return E;
            constexpr std::string_view After = "after=";
            if (Arg(2).substr(0, After.size()) == After) {
                C.Reply = FrameReplyMode::After;
                return ParseNumber(Arg(2).substr(After.size()), U32, "delay", C.Value);
            }
            if (Arg(2) == "now")
                C.Reply = FrameReplyMode::Now;
            else if (Arg(2) == "pending")
                C.Reply = FrameReplyMode::Pending;
            else if (Arg(2) == "fail")
                C.Reply = FrameReplyMode::Fail;
            else
                return std::string("usage: ") + Syntax;
            return {};
        }
        if (Sub == "complete") {
            C.Kind = Op::FrameComplete;
            return WordCount(W, 2, 2, "frame complete");
        }
        if (Sub == "remove") {
            C.Kind = Op::FrameRemove;
            constexpr const char *Syntax = "frame remove surprise|orderly|refused";
            if (auto E = WordCount(W, 3, 3, Syntax))
                return E;
            if (Arg(2) == "surprise")
                C.Removal = FrameRemoval::Surprise;
            else if (Arg(2) == "orderly")
                C.Removal = FrameRemoval::Orderly;
            else if (Arg(2) == "refused")
                C.Removal = FrameRemoval::Refused;
            else
                return std::string("usage: ") + Syntax;
            return {};
        }
        if (Sub == "add") {
            C.Kind = Op::FrameAdd;
            return WordCount(W, 2, 2, "frame add");
        }
        if (Sub == "nobuild") {
            C.Kind = Op::FrameNoBuild;
            if (auto E = WordCount(W, 3, 3, "frame nobuild N"))
                return E;
            return ParseNumber(Arg(2), U32, "count", C.Value);
        }
        return "unknown frame command '" + std::string(Sub) +
               "' (mode, panel, input, reply, complete or nobuild)";
    }
    if (Cmd == "reg") {
        if (W.size() < 2)
            return std::string("usage: reg set|del|fail ...");
        std::string_view Sub = Arg(1);
        if (Sub == "set") {
            C.Kind = Op::RegSet;
            constexpr const char *Syntax = "reg set [peer:]NAME dword|sz|binary VALUE";
            if (W.size() < 4)
                return std::string("usage: ") + Syntax;
            if (auto E = ParseValueName(Arg(2), C))
                return E;
            if (Arg(3) == "sz") {
                // The value is the rest of the raw line after the blanks that
                // follow "sz", blanks and '#' included.
                C.Type = RegType::Sz;
                size_t I = W[3].End;
                while (I < Line.size() && IsBlank(Line[I]))
                    ++I;
                C.Text = std::string(Line.substr(I));
                return {};
            }
            if (W.size() != 5)
                return std::string("usage: ") + Syntax;
            if (Arg(3) == "dword") {
                C.Type = RegType::Dword;
                return ParseNumber(Arg(4), U32, "dword value", C.Value);
            }
            if (Arg(3) == "binary") {
                C.Type = RegType::Binary;
                return ParseHex(Arg(4), "binary value", C.Bytes);
            }
            return "unknown value type '" + std::string(Arg(3)) + "' (dword, sz or binary)";
        }
        if (Sub == "del") {
            C.Kind = Op::RegDel;
            if (auto E = WordCount(W, 3, 3, "reg del [peer:]NAME"))
                return E;
            return ParseValueName(Arg(2), C);
        }
        if (Sub == "fail") {
            constexpr const char *Syntax = "reg fail write|read N | reg fail off";
            if (W.size() == 3 && Arg(2) == "off") {
                C.Kind = Op::RegFailOff;
                return {};
            }
            C.Kind = Op::RegFail;
            if (auto E = WordCount(W, 4, 4, Syntax))
                return E;
            if (Arg(2) == "write")
                C.FailWhat = RegFailWhat::Write;
            else if (Arg(2) == "read")
                C.FailWhat = RegFailWhat::Read;
            else
                return std::string("usage: ") + Syntax;
            return ParseNumber(Arg(3), U32, "count", C.Value);
        }
        return "unknown reg command '" + std::string(Sub) + "' (set, del or fail)";
    }
    if (Cmd == "pool") {
        C.Kind = Op::PoolFail;
        if (W.size() != 3 || Arg(1) != "fail")
            return std::string("usage: pool fail N");
        return ParseNumber(Arg(2), U32, "count", C.Value);
    }
    if (Cmd == "power") {
        C.Kind = Op::Power;
        if (auto E = WordCount(W, 2, 2, "power on|standby|suspend|off|N"))
            return E;
        if (Arg(1) == "on")
            C.Value = 1;
        else if (Arg(1) == "standby")
            C.Value = 2;
        else if (Arg(1) == "suspend")
            C.Value = 3;
        else if (Arg(1) == "off")
            C.Value = 4;
        else if (Arg(1).empty() || Arg(1)[0] < '0' || Arg(1)[0] > '9')
            return "unknown power state '" + std::string(Arg(1)) +
                   "' (on, standby, suspend, off or a number)";
        else
            return ParseNumber(Arg(1), U32, "power state", C.Value);
        return {};
    }
    if (Cmd == "adapter") {
        C.Kind = Op::Adapter;
        const char *Usage = "adapter fail-add|fail-start [N] | remove|disable|enable";
        if (auto E = WordCount(W, 2, 3, Usage))
            return E;
        std::string_view Sub = Arg(1);
        if (Sub == "fail-add" || Sub == "fail-start") {
            C.Adapter = Sub == "fail-add" ? AdapterAction::FailAdd : AdapterAction::FailStart;
            C.Value = 1;
            return W.size() == 3 ? ParseNumber(Arg(2), U32, "count", C.Value) : std::nullopt;
        }
        if (W.size() != 2)
            return std::string("usage: ") + Usage;
        if (Sub == "remove")
            C.Adapter = AdapterAction::Remove;
        else if (Sub == "disable")
            C.Adapter = AdapterAction::Disable;
        else if (Sub == "enable")
            C.Adapter = AdapterAction::Enable;
        else
            return std::string("usage: ") + Usage;
        return {};
    }
    if (Cmd == "system") {
        C.Kind = Op::System;
        const char *Usage = "system sleep|hibernate | system resume [cancel|replug]";
        if (auto E = WordCount(W, 2, 3, Usage))
            return E;
        if (Arg(1) == "sleep" && W.size() == 2)
            C.System = SystemAction::Sleep;
        else if (Arg(1) == "hibernate" && W.size() == 2)
            C.System = SystemAction::Hibernate;
        else if (Arg(1) == "resume" && (W.size() == 2 || Arg(2) == "cancel" || Arg(2) == "replug"))
            C.System = SystemAction::Resume;
        else
            return std::string("usage: ") + Usage;
        if (W.size() == 3)
            C.Resume = Arg(2) == "cancel" ? ResumeAs::Cancelled : ResumeAs::Replugged;
        return {};
    }
    if (Cmd == "ioctl") {
        C.Kind = Op::Ioctl;
        return ParseRequest(W, C, "ioctl NAME|CODE [in=HEX] [out=N]");
    }
    if (Cmd == "escape") {
        C.Kind = Op::Escape;
        return ParseRequest(W, C, "escape NAME|CODE|QUERYESCSUPPORT [in=HEX] [out=N]");
    }
    if (Cmd == "display") {
        if (W.size() == 3 && Arg(1) == "fail-map") {
            C.Kind = Op::DisplayFailMap;
            return ParseNumber(Arg(2), U32, "count", C.Value);
        }
        C.Kind = Op::Display;
        if (auto E = WordCount(W, 2, 2, "display on|off|fail-map N"))
            return E;
        if (Arg(1) != "on" && Arg(1) != "off")
            return std::string("usage: display on|off|fail-map N");
        C.On = Arg(1) == "on";
        return {};
    }
    if (Cmd == "draw") {
        bool Fill = W.size() >= 2 && Arg(1) == "fill";
        bool Copy = W.size() >= 2 && Arg(1) == "copy";
        if (!Fill && !Copy)
            return std::string("usage: draw fill X Y W H RRGGBB | draw copy X Y W H TOX TOY");
        C.Kind = Fill ? Op::DrawFill : Op::DrawCopy;
        if (auto E = WordCount(W, Fill ? 7 : 8, Fill ? 7 : 8,
                               Fill ? "draw fill X Y W H RRGGBB" : "draw copy X Y W H TOX TOY"))
            return E;
        for (size_t I = 2; I < (Fill ? 6u : 8u); ++I) {
            uint64_t N = 0;
            if (auto E = ParseNumber(Arg(I), MaxCoordinate, "coordinate", N))
                return E;
            C.Numbers.push_back(int64_t(N));
        }
        return Fill ? ParseColor(Arg(6), C.Color) : std::nullopt;
    }
    if (Cmd == "wait") {
        C.Kind = Op::Wait;
        if (auto E = WordCount(W, 2, 2, "wait MS"))
            return E;
        if (auto E = ParseNumber(Arg(1), MaxWaitMs, "wait", C.Value))
            return *E + (E->find("out of range") != std::string::npos
                             ? "; a wait is at most a day: repeat the line for a longer run"
                             : "");
        return {};
    }
    if (Cmd == "expect") {
        if (W.size() < 2)
            return std::string("usage: expect reg|ioctl|requests|pixel|escape ...");
        if (Arg(1) == "reg") {
            C.Kind = Op::ExpectReg;
            if (auto E = WordCount(W, 4, 4, "expect reg [peer:]NAME HEX|absent"))
                return E;
            if (auto E = ParseValueName(Arg(2), C))
                return E;
            if (Arg(3) == "absent") {
                C.Present = false;
                return {};
            }
            return ParseHex(Arg(3), "value bytes", C.Bytes);
        }
        if (Arg(1) == "ioctl") {
            C.Kind = Op::ExpectIoctl;
            if (auto E = WordCount(W, 3, 5, "expect ioctl STATUS [info=N] [out=HEX]"))
                return E;
            if (auto E = ParseNumber(Arg(2), U32, "status", C.Value))
                return E;
            for (size_t I = 3; I < W.size(); ++I) {
                std::string_view A = Arg(I);
                if (A.substr(0, 5) == "info=" && !C.ExpectInfo) {
                    uint64_t N = 0;
                    if (auto E = ParseNumber(A.substr(5), UINT64_MAX, "info", N))
                        return E;
                    C.ExpectInfo = N;
                } else if (A.substr(0, 4) == "out=" && !C.ExpectOut) {
                    std::vector<uint8_t> B;
                    if (auto E = ParseHex(A.substr(4), "output bytes", B))
                        return E;
                    C.ExpectOut = std::move(B);
                } else {
                    return "unexpected '" + std::string(A) +
                           "' (info=N and out=HEX, each at most once)";
                }
            }
            return {};
        }
        if (Arg(1) == "pixel") {
            C.Kind = Op::ExpectPixel;
            if (auto E = WordCount(W, 5, 5, "expect pixel X Y RRGGBB"))
                return E;
            for (size_t I = 2; I < 4; ++I) {
                uint64_t N = 0;
                if (auto E = ParseNumber(Arg(I), MaxCoordinate, "coordinate", N))
                    return E;
                C.Numbers.push_back(int64_t(N));
            }
            return ParseColor(Arg(4), C.Color);
        }
        if (Arg(1) == "escape") {
            C.Kind = Op::ExpectEscape;
            if (auto E = WordCount(W, 3, 4, "expect escape RESULT|-1 [out=HEX]"))
                return E;
            if (Arg(2) == "-1")
                C.Value = 0xFFFFFFFF;
            else if (auto E = ParseNumber(Arg(2), U32, "result", C.Value))
                return E;
            if (W.size() == 4) {
                if (Arg(3).substr(0, 4) != "out=")
                    return "unexpected '" + std::string(Arg(3)) + "' (out=HEX)";
                std::vector<uint8_t> B;
                if (auto E = ParseHex(Arg(3).substr(4), "output bytes", B))
                    return E;
                C.ExpectOut = std::move(B);
            }
            return {};
        }
        if (Arg(1) == "requests") {
            C.Kind = Op::ExpectRequests;
            if (auto E = WordCount(W, 3, 3, "expect requests N"))
                return E;
            return ParseNumber(Arg(2), U32, "request count", C.Value);
        }
        return "unknown expect '" + std::string(Arg(1)) +
               "' (reg, ioctl, requests, pixel or escape)";
    }
    if (Cmd == "show") {
        C.Kind = Op::Show;
        return WordCount(W, 1, 1, "show");
    }
    std::string Known;
    for (const CommandHelp &H : CommandTable()) {
        std::string_view First(H.Syntax);
        First = First.substr(0, First.find(' '));
        if (Known.find(" " + std::string(First) + ",") == std::string::npos)
            Known += " " + std::string(First) + ",";
    }
    Known.pop_back();
    return "unknown command '" + std::string(Cmd) + "' (one of" + Known + ")";
}

} // namespace

namespace
{

// While the system sleeps nothing runs: a scenario may move the clock and
// change the world (the frame's answers, the registry), look, and resume.
bool RunsWhileAsleep(const Command &C)
{
    switch (C.Kind) {
    case Op::Wait:
    case Op::FrameMode:
    case Op::FramePanel:
    case Op::FrameInput:
    case Op::FrameReply:
    case Op::Peer:
    case Op::RegSet:
    case Op::RegDel:
    case Op::RegFail:
    case Op::RegFailOff:
    case Op::PoolFail:
    case Op::System:
    case Op::Trace:
    case Op::ExpectReg:
    case Op::ExpectIoctl:
    case Op::ExpectRequests:
    case Op::Show:
        return true;
    default:
        return false;
    }
}

} // namespace

std::optional<ParseError> ParseScenario(std::string_view Text, Scenario &Out)
{
    Out.Commands.clear();
    Out.HasBoot = false;
    bool SeenIoctl = false;
    bool Asleep = false;
    bool SeenEscape = false;
    unsigned LineNo = 0;
    size_t Pos = 0;
    while (Pos < Text.size()) {
        size_t Eol = Text.find('\n', Pos);
        std::string_view Line =
            Text.substr(Pos, Eol == std::string_view::npos ? std::string_view::npos : Eol - Pos);
        Pos = Eol == std::string_view::npos ? Text.size() : Eol + 1;
        ++LineNo;
        if (!Line.empty() && Line.back() == '\r')
            Line.remove_suffix(1);
        if (Line.find('\0') != std::string_view::npos)
            return ParseError{LineNo, "the line holds a zero byte"};

        std::vector<Word> W = SplitWords(Line);
        if (W.empty())
            continue;
        Command C;
        C.Line = LineNo;
        if (auto E = ParseLine(Line, W, C))
            return ParseError{LineNo, *E};
        if (C.Kind == Op::Boot) {
            if (Out.HasBoot)
                return ParseError{LineNo, "boot may appear only once"};
            Out.HasBoot = true;
        }
        if (C.Kind == Op::Ioctl)
            SeenIoctl = true;
        if (C.Kind == Op::ExpectIoctl && !SeenIoctl)
            return ParseError{LineNo, "expect ioctl with no ioctl before it"};
        // (A system command before boot is refused below.)
        if (Asleep && C.Kind != Op::Boot && !RunsWhileAsleep(C))
            return ParseError{LineNo, "'" + std::string(W[0].Text) +
                                          "' while the system sleeps: nothing runs until "
                                          "'system resume'"};
        if (C.Kind == Op::System)
            Asleep = C.System != SystemAction::Resume;
        if (C.Kind == Op::Escape)
            SeenEscape = true;
        if (C.Kind == Op::ExpectEscape && !SeenEscape)
            return ParseError{LineNo, "expect escape with no escape before it"};
        Out.Commands.push_back(std::move(C));
    }
    // With a `boot`, the commands before it prepare the system: nothing can
    // reach the driver before it is loaded.
    if (Out.HasBoot) {
        for (const Command &C : Out.Commands) {
            if (C.Kind == Op::Boot)
                break;
            if (C.Kind == Op::Display || C.Kind == Op::Escape)
                return ParseError{C.Line, "display or escape before boot: no display driver "
                                          "is loaded yet"};
            if (C.Kind == Op::Ioctl || C.Kind == Op::Power || C.Kind == Op::System ||
                (C.Kind == Op::Adapter && C.Adapter != AdapterAction::FailAdd &&
                 C.Adapter != AdapterAction::FailStart))
                return ParseError{C.Line, std::string(C.Kind == Op::Ioctl    ? "ioctl"
                                                      : C.Kind == Op::Power  ? "power"
                                                      : C.Kind == Op::System ? "system"
                                                                             : "adapter") +
                                              " before boot: the driver is not loaded yet"};
        }
    }
    return {};
}

const std::vector<CommandHelp> &CommandTable()
{
    static const std::vector<CommandHelp> Table = {
        {"boot [adapter-first]",
         "load the driver and start the adapter (at most once); adapter-first: the monitor "
         "thread's first instruction comes after the adapter start"},
        {"pnp existing 1|2 [later=N] [after=MS]",
         "how often each interface present at registration is reported as an arrival; the last "
         "N of these calls come from another thread, MS after the registration has returned"},
        {"plug VID PID INSTANCE", "a USB device interface arrives (IDs taken as written)"},
        {"unplug VID PID INSTANCE", "a USB device interface is removed"},
        {"notify arrival|removal|other NAME [class=usb|other]",
         "a raw notification with that symbolic-link name"},
        {"peer present|absent", "whether \\Device\\KEVO-0 can be opened"},
        {"frame mode N", "the frame's answer to command 4"},
        {"frame panel TYPE AUX", "the frame's answer to command 1"},
        {"frame input B0 B1", "the frame's answer to commands 6 and 7"},
        {"frame reply now|pending|fail|after=MS",
         "how later requests complete (fail: STATUS_UNSUCCESSFUL; after=MS: pending, then "
         "completed "
         "by the sibling MS ms after it was sent; the default is after=4)"},
        {"frame complete", "complete every pending request with the frame's current answers"},
        {"frame remove surprise|orderly|refused",
         "plug and play removes the sibling's device: by surprise (unplugged), in order "
         "(query-remove first), or in order but refused by the device's stack"},
        {"frame add", "the sibling creates \\Device\\KEVO-0 again (a frame that enumerated again)"},
        {"frame nobuild N", "the next N requests cannot be built"},
        {"reg set [peer:]NAME dword|sz|binary VALUE",
         "set a value of the product key (peer: the peer device key)"},
        {"reg del [peer:]NAME", "delete a value"},
        {"reg fail write|read N", "the next N registry writes / reads fail"},
        {"reg fail off", "registry writes and reads succeed again"},
        {"pool fail N", "the next N pool allocations fail"},
        {"power on|standby|suspend|off|N", "HwSetPowerState with that state"},
        {"adapter fail-add|fail-start [N]",
         "the next N AddDevice calls / adapter starts fail (a failed start removes the device)"},
        {"adapter remove|disable|enable",
         "surprise removal / disable (refused while the display driver has the device open) / "
         "enable (a new load when the driver's image went; Code 38 when its unload ran and a "
         "reference keeps the image)"},
        {"system sleep|hibernate | system resume [cancel|replug]",
         "the system sleeps (the adapter powered off first; no thread runs, the clock jumps) / "
         "resumes: requests pending across the sleep answered, or cancelled, or the frame back "
         "as a removal and an arrival"},
        {"ioctl NAME|CODE [in=HEX] [out=N]",
         "a buffered control request; system buffer bytes past the input hold 0xCC"},
        {"wait MS", "advance the virtual clock by MS milliseconds"},
        {"trace off|on",
         "stop (resume) recording and printing platform events; expects still print"},
        {"expect reg [peer:]NAME HEX|absent", "the stored bytes of a value"},
        {"expect ioctl STATUS [info=N] [out=HEX]", "the result of the last ioctl"},
        {"expect requests N", "N peer requests sent and not yet completed"},
        {"display on|off",
         "the companion attaches (detaches) the frame's display: the GDI engine enables (disables) "
         "the display driver's PDEV and surface"},
        {"display fail-map N", "the next N EngMapFile calls fail"},
        {"draw fill X Y W H RRGGBB", "GDI fills a rectangle of the display's surface"},
        {"draw copy X Y W H TOX TOY", "GDI copies a rectangle of the display's surface"},
        {"escape NAME|CODE|QUERYESCSUPPORT [in=HEX] [out=N]",
         "a program's ExtEscape on the frame's display (output buffer prefilled with ee)"},
        {"expect pixel X Y RRGGBB", "a pixel of the data file, read as the companion reads it"},
        {"expect escape RESULT|-1 [out=HEX]",
         "the last escape's value and the caller's whole output buffer"},
        {"show", "print the product key's values"},
    };
    return Table;
}

const std::vector<ControlName> &ControlNames()
{
    static const std::vector<ControlName> Names = {
        {"StartExternalSession", 0x234000}, {"QueryOrientation", 0x234008},
        {"SetOrientation", 0x23400C},       {"ActivateClient", 0x234014},
        {"QueryDisplayMode", 0x234018},     {"QueryPowerOff", 0x234024},
        {"QueryDataFilePath", 0x23402C},    {"EndExternalSession", 0x234030},
        {"QueryWideModel", 0x234034},
    };
    return Names;
}

const char *ControlCodeName(uint32_t Code)
{
    for (const ControlName &N : ControlNames())
        if (N.Code == Code)
            return N.Name;
    return nullptr;
}

std::string HexBytes(const uint8_t *Data, size_t Length)
{
    static const char Digits[] = "0123456789abcdef";
    std::string S;
    S.reserve(Length * 2);
    for (size_t I = 0; I < Length; ++I) {
        S.push_back(Digits[Data[I] >> 4]);
        S.push_back(Digits[Data[I] & 15]);
    }
    return S;
}

} // namespace kvrsim

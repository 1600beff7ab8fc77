// Event printers for the timeline and the JSON lines.

#include "transcript.h"

#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace kvrsim
{

namespace
{

std::string Hex32(uint32_t V)
{
    char Buf[16];
    std::snprintf(Buf, sizeof Buf, "0x%08x", V);
    return Buf;
}

std::string ControlCodeText(uint32_t Code)
{
    char Buf[16];
    std::snprintf(Buf, sizeof Buf, "0x%06x", Code);
    return Buf;
}

const char *KeyText(KeyName Key)
{
    return Key == KeyName::Product ? "product" : "peer";
}

std::string TypeText(uint32_t Type)
{
    switch (Type) {
    case 1:
        return "sz";
    case 3:
        return "binary";
    case 4:
        return "dword";
    default:
        return "type" + std::to_string(Type);
    }
}

// Names of the statuses a request or a control request usually ends with.
const char *StatusText(uint32_t Status)
{
    switch (Status) {
    case 0x00000000:
        return "success";
    case 0x00000103:
        return "pending";
    case 0xC0000001:
        return "unsuccessful";
    case 0xC000000D:
        return "invalid parameter";
    case 0xC0000010:
        return "invalid device request";
    case 0xC000009A:
        return "insufficient resources";
    case 0xC0000120:
        return "cancelled";
    default:
        return nullptr;
    }
}

// "mode (command 4)", or "command 9" for a byte without a name.
std::string CommandText(unsigned Cmd)
{
    const char *Name = PeerCommandName(Cmd);
    std::string N = std::to_string(Cmd);
    return Name ? std::string(Name) + " (command " + N + ")" : "command " + N;
}

std::string StatusWithName(uint32_t Status)
{
    const char *Name = StatusText(Status);
    return Hex32(Status) + (Name ? std::string(" ") + Name : std::string());
}

bool SameName(const std::string &A, const char *B)
{
    size_t I = 0;
    for (; I < A.size() && B[I]; ++I)
        if (std::tolower((unsigned char)A[I]) != std::tolower((unsigned char)B[I]))
            return false;
    return I == A.size() && !B[I];
}

uint32_t Le32(const std::vector<uint8_t> &D, size_t At)
{
    return uint32_t(D[At]) | uint32_t(D[At + 1]) << 8 | uint32_t(D[At + 2]) << 16 |
           uint32_t(D[At + 3]) << 24;
}

// The fields of the two published records, for the timeline: DeviceStatus
// (LinkState, DeviceMode, ExternalSession, PowerOffSeen, InputPending, three
// zero bytes, two little-endian words) and DeviceInfo (PanelType, PanelAux).
std::string DecodePublished(const std::string &Name, uint32_t Type, const std::vector<uint8_t> &D)
{
    if (Type != 3)
        return {};
    if (SameName(Name, "DeviceStatus") && D.size() == 16) {
        std::string S = "link " + std::to_string(D[0]) + ", mode " + std::to_string(D[1]) +
                        ", session " + std::to_string(D[2]) + ", power-off seen " +
                        std::to_string(D[3]) + ", input " + std::to_string(D[4]);
        if (D[5] || D[6] || D[7])
            S += ", bytes 5-7 " + HexBytes(D.data() + 5, 3);
        return S + ", params " + std::to_string(Le32(D, 8)) + " " + std::to_string(Le32(D, 12));
    }
    if (SameName(Name, "DeviceInfo") && D.size() == 2)
        return "panel " + std::to_string(D[0]) + ", aux " + std::to_string(D[1]);
    return {};
}

// "1 change", "2 changes".
std::string Counted(uint64_t N, const char *What)
{
    return std::to_string(N) + " " + What + (N == 1 ? "" : "s");
}

const char *PowerText(uint32_t State)
{
    switch (State) {
    case 1:
        return "on";
    case 2:
        return "standby";
    case 3:
        return "suspend";
    case 4:
        return "off";
    case 5:
        return "hibernate";
    default:
        return nullptr;
    }
}

} // namespace

std::string JsonEscape(const std::string &S)
{
    std::string R;
    R.reserve(S.size());
    for (unsigned char C : S) {
        if (C == '"' || C == '\\') {
            R.push_back('\\');
            R.push_back(char(C));
        } else if (C < 0x20) {
            char Buf[8];
            std::snprintf(Buf, sizeof Buf, "\\u%04x", C);
            R += Buf;
        } else {
            R.push_back(char(C));
        }
    }
    return R;
}

const char *PeerCommandName(unsigned Cmd)
{
    switch (Cmd) {
    case 1:
        return "panel";
    case 4:
        return "mode";
    case 6:
        return "input";
    case 7:
        return "input-again";
    default:
        return nullptr;
    }
}

void Transcript::Write(uint64_t T, const char *Ev, const std::string &Body)
{
    if (Json) {
        Out << "{\"t\":" << T << ",\"ev\":\"" << Ev << "\"" << Body << "\n";
    } else {
        char Buf[48];
        std::snprintf(Buf, sizeof Buf, "%9llu ms  %-8s", static_cast<unsigned long long>(T), Ev);
        Out << Buf << Body << "\n";
    }
}

void Transcript::Line(uint64_t T, const char *Ev, const std::string &Body, Fold How,
                      const std::string &Name)
{
    if (!ChangesOnly) {
        Write(T, Ev, Body);
        return;
    }
    if (How == Fold::Never) {
        CloseTurn();
        FlushRepeats();
        Write(T, Ev, Body);
        return;
    }
    // A request the sibling completes a few milliseconds later belongs to
    // the turn that sent it: a turn that repeats is the same with its
    // completions.
    bool Late = How == Fold::Turn && InTurn && T > TurnTime && std::string_view(Ev) == "complete";
    if (!Late && (!InTurn || T != TurnTime)) {
        CloseTurn();
        InTurn = true;
        TurnTime = T;
    }
    if (How == Fold::Turn) {
        Turn.push_back({Ev, Body, T - TurnTime});
        return;
    }
    for (const std::string &N : Rewritten)
        if (N == Name)
            return;
    Rewritten.push_back(Name);
}

// The gathered turn: printed when it differs from the last turn printed,
// else counted. Its unchanged rewrites become one line that names them.
void Transcript::CloseTurn()
{
    if (!InTurn)
        return;
    InTurn = false;
    if (!Rewritten.empty()) {
        std::string Body;
        for (size_t I = 0; I < Rewritten.size(); ++I) {
            if (Json)
                Body +=
                    std::string(I ? "," : ",\"names\":[") + "\"" + JsonEscape(Rewritten[I]) + "\"";
            else
                Body += " " + Rewritten[I];
        }
        Body += Json ? "]}" : " rewritten unchanged";
        // At the turn's own time, before any late completion.
        auto At =
            std::find_if(Turn.begin(), Turn.end(), [](const TurnLine &L) { return L.Offset != 0; });
        Turn.insert(At, TurnLine{"same", Body, 0});
        Rewritten.clear();
    }
    std::string Signature;
    for (const TurnLine &L : Turn)
        Signature += std::to_string(L.Offset) + '\x1f' + L.Ev + '\x1f' + L.Body + '\x1e';
    if (HaveLastTurn && Signature == LastTurn) {
        if (Repeats++ == 0)
            RepeatFrom = TurnTime;
        RepeatTo = TurnTime;
    } else {
        FlushRepeats();
        for (const TurnLine &L : Turn)
            Write(TurnTime + L.Offset, L.Ev.c_str(), L.Body);
        LastTurn = std::move(Signature);
        HaveLastTurn = true;
    }
    Turn.clear();
}

void Transcript::FlushRepeats()
{
    if (Repeats == 0)
        return;
    if (Json)
        Write(RepeatTo, "repeat",
              ",\"turns\":" + std::to_string(Repeats) + ",\"from\":" + std::to_string(RepeatFrom) +
                  "}");
    else
        Write(RepeatTo, "repeat",
              " " + Counted(Repeats, "identical turn") + " from " + std::to_string(RepeatFrom) +
                  " ms");
    Repeats = 0;
}

void Transcript::Boot(uint64_t T, uint32_t Status)
{
    Line(T, "boot",
         Json ? ",\"status\":" + std::to_string(Status) + "}"
              : " DriverEntry returned " + StatusWithName(Status));
}

void Transcript::Notify(uint64_t T, const char *Kind, const std::string &Name)
{
    Line(T, "notify",
         Json ? ",\"kind\":\"" + std::string(Kind) + "\",\"name\":\"" + JsonEscape(Name) + "\"}"
              : " " + std::string(Kind) + " " + Name);
}

void Transcript::Open(uint64_t T, bool Ok)
{
    Line(T, "open",
         Json ? std::string(Ok ? ",\"ok\":true}" : ",\"ok\":false}")
              : std::string(Ok ? " \\Device\\KEVO-0 opened"
                               : " \\Device\\KEVO-0 could not be opened"));
}

void Transcript::Release(uint64_t T)
{
    Line(T, "release", Json ? "}" : " reference on \\Device\\KEVO-0 dropped");
}

void Transcript::Request(uint64_t T, unsigned Cmd, bool Built, uint32_t Status)
{
    if (Json)
        Line(T, "request",
             ",\"cmd\":" + std::to_string(Cmd) + ",\"status\":\"" +
                 (Built ? Hex32(Status) : std::string("nobuild")) + "\"}",
             Fold::Turn);
    else
        Line(T, "request",
             " " + CommandText(Cmd) + (Built ? " -> " + StatusWithName(Status) : " not built"),
             Fold::Turn);
}

void Transcript::Complete(uint64_t T, unsigned Cmd, uint32_t Status)
{
    if (Json)
        Line(T, "complete",
             ",\"cmd\":" + std::to_string(Cmd) + ",\"status\":\"" + Hex32(Status) + "\"}",
             Fold::Turn);
    else
        Line(T, "complete", " " + CommandText(Cmd) + " -> " + StatusWithName(Status), Fold::Turn);
}

void Transcript::Busy(uint64_t T, unsigned Cmd)
{
    if (Json)
        Line(T, "busy", ",\"cmd\":" + std::to_string(Cmd) + "}", Fold::Turn);
    else
        Line(T, "busy", " " + CommandText(Cmd) + " still outstanding: not sent", Fold::Turn);
}

void Transcript::RegWrite(uint64_t T, KeyName Key, const std::string &Name, uint32_t Type,
                          const std::vector<uint8_t> &Data, bool Ok, bool Changed)
{
    RegLine(T, KeyText(Key), Name, Type, Data, Ok, Changed, Key == KeyName::Product);
}

void Transcript::RegWriteOther(uint64_t T, const std::string &Key, const std::string &Name,
                               uint32_t Type, const std::vector<uint8_t> &Data, bool Ok,
                               bool Changed)
{
    RegLine(T, Key, Name, Type, Data, Ok, Changed, false);
}

void Transcript::RegLine(uint64_t T, const std::string &Key, const std::string &Name, uint32_t Type,
                         const std::vector<uint8_t> &Data, bool Ok, bool Changed, bool Decode)
{
    Fold How = Ok && !Changed ? Fold::Rewrite : Fold::Turn;
    if (Json) {
        Line(T, "reg",
             ",\"key\":\"" + JsonEscape(Key) + "\",\"name\":\"" + JsonEscape(Name) +
                 "\",\"type\":" + std::to_string(Type) + ",\"data\":\"" + HexBytes(Data) +
                 "\",\"ok\":" + (Ok ? "true" : "false") +
                 ",\"changed\":" + (Changed ? "true" : "false") + "}",
             How, Name);
        return;
    }
    std::string Body = " " + Key + " " + Name + " " + TypeText(Type) + " " +
                       (Data.empty() ? "(empty)" : HexBytes(Data));
    // The fields are spelled out where the value changes (or a change is
    // refused); a rewrite of the same bytes says only that.
    std::string Fields =
        Decode && (Changed || !Ok) ? DecodePublished(Name, Type, Data) : std::string();
    if (!Fields.empty())
        Body += " (" + Fields + ")";
    if (!Ok)
        Body += " REFUSED";
    else if (!Changed)
        Body += " unchanged";
    Line(T, "reg", Body, How, Name);
}

void Transcript::Ioctl(uint64_t T, uint32_t Code, uint32_t Status, uint64_t Info,
                       const std::vector<uint8_t> &Copied)
{
    if (Json) {
        Line(T, "ioctl",
             ",\"code\":\"" + ControlCodeText(Code) + "\",\"status\":" + std::to_string(Status) +
                 ",\"info\":" + std::to_string(Info) + ",\"out\":\"" + HexBytes(Copied) + "\"}");
        return;
    }
    const char *Name = ControlCodeName(Code);
    std::string Body = " " + std::string(Name ? Name : "code") + " " + ControlCodeText(Code) +
                       " -> " + std::to_string(Status) + " info " + std::to_string(Info);
    if (!Copied.empty())
        Body += " out " + HexBytes(Copied);
    Line(T, "ioctl", Body);
}

void Transcript::Pnp(uint64_t T, const std::string &What, const std::string &Detail,
                     uint32_t Status)
{
    bool Cancel = What == "remove-cancelled";
    bool Add = What == "add";
    if (Json) {
        std::string Text = ",\"what\":\"" + What + "\"";
        if (Cancel)
            Text += ",\"why\":\"" + JsonEscape(Detail) + "\"";
        if (Add)
            Text += ",\"status\":\"" + Hex32(Status) + "\"";
        Line(T, "pnp", Text + "}");
        return;
    }
    std::string Text = " " + What;
    if (Cancel)
        Text += " (" + Detail + ")";
    else if (Add)
        Text += " \\Device\\KEVO-0 -> " + StatusWithName(Status);
    Line(T, "pnp", Text);
}

void Transcript::Power(uint64_t T, uint32_t State)
{
    if (Json) {
        Line(T, "power", ",\"state\":" + std::to_string(State) + "}");
        return;
    }
    const char *Name = PowerText(State);
    Line(T, "power",
         " state " + std::to_string(State) + (Name ? " (" + std::string(Name) + ")" : ""));
}

void Transcript::Adapter(uint64_t T, const std::string &What, uint32_t Status)
{
    if (Json)
        Line(T, "adapter", ",\"what\":\"" + What + "\",\"status\":\"" + Hex32(Status) + "\"}");
    else
        Line(T, "adapter", " " + What + " -> " + Hex32(Status));
}

void Transcript::System(uint64_t T, const std::string &What)
{
    if (Json)
        Line(T, "system", ",\"what\":\"" + What + "\"}");
    else
        Line(T, "system", " " + What);
}

void Transcript::Display(uint64_t T, const std::string &Call, bool Ok, const std::string &Result)
{
    if (Json)
        Line(T, "display",
             ",\"call\":\"" + Call + "\",\"ok\":" + (Ok ? "true" : "false") + ",\"result\":\"" +
                 JsonEscape(Result) + "\"}");
    else
        Line(T, "display", " " + Call + " -> " + Result + (Ok ? "" : " (failed)"));
}

void Transcript::Escape(uint64_t T, uint32_t Code, const std::vector<uint8_t> &In, uint32_t Result,
                        const std::vector<uint8_t> &Output)
{
    if (Json) {
        Line(T, "escape",
             ",\"code\":\"" + ControlCodeText(Code) + "\",\"in\":\"" + HexBytes(In) +
                 "\",\"result\":" + std::to_string(int32_t(Result)) + ",\"out\":\"" +
                 HexBytes(Output) + "\"}");
        return;
    }
    const char *Name = Code == 8 ? "QUERYESCSUPPORT" : ControlCodeName(Code);
    std::string Body = " " + std::string(Name ? Name : "escape") + " " + ControlCodeText(Code) +
                       " -> " + std::to_string(int32_t(Result));
    if (!In.empty())
        Body += " in " + HexBytes(In);
    if (!Output.empty())
        Body += " out " + HexBytes(Output);
    Line(T, "escape", Body);
}

void Transcript::Expect(uint64_t T, bool Ok, unsigned LineNo, const std::string &Message)
{
    if (Json)
        Line(T, "expect",
             std::string(",\"ok\":") + (Ok ? "true" : "false") + ",\"line\":" +
                 std::to_string(LineNo) + ",\"msg\":\"" + JsonEscape(Message) + "\"}");
    else
        Line(T, "expect",
             " line " + std::to_string(LineNo) + (Ok ? " ok: " : " FAILED: ") + Message);
}

void Transcript::Show(uint64_t T, const std::vector<RegValue> &Values)
{
    if (Json) {
        std::string Body = ",\"key\":\"product\",\"values\":[";
        for (size_t I = 0; I < Values.size(); ++I) {
            const RegValue &V = Values[I];
            Body += std::string(I ? "," : "") + "{\"name\":\"" + JsonEscape(V.Name) +
                    "\",\"type\":" + std::to_string(V.Type) + ",\"data\":\"" + HexBytes(V.Data) +
                    "\"}";
        }
        Line(T, "show", Body + "]}");
        return;
    }
    std::string Body = " product key, " + std::to_string(Values.size()) +
                       (Values.size() == 1 ? " value" : " values");
    for (const RegValue &V : Values) {
        char Buf[48];
        std::snprintf(Buf, sizeof Buf, "\n%9llu ms  %-8s", static_cast<unsigned long long>(T), "");
        Body += std::string(Buf) + "   " + V.Name + " " + TypeText(V.Type) + " " +
                (V.Data.empty() ? "(empty)" : HexBytes(V.Data));
        std::string Fields = DecodePublished(V.Name, V.Type, V.Data);
        if (!Fields.empty())
            Body += " (" + Fields + ")";
    }
    Line(T, "show", Body);
}

void Transcript::Violation(uint64_t T, const std::string &Message)
{
    Line(T, "verifier",
         Json ? ",\"ok\":false,\"msg\":\"" + JsonEscape(Message) + "\"}"
              : " VIOLATION: " + Message);
}

void Transcript::End(uint64_t T, const RunSummary &S)
{
    CloseTurn();
    FlushRepeats();
    if (Json) {
        std::string Body = ",\"expects\":{\"held\":" + std::to_string(S.ExpectsHeld) +
                           ",\"failed\":" + std::to_string(S.ExpectsFailed) + "},\"requests\":[";
        bool First = true;
        for (unsigned Cmd = 0; Cmd < S.Requests.size(); ++Cmd) {
            const CommandCounts &C = S.Requests[Cmd];
            if (!C.Sent && !C.NotBuilt && !C.Busy && !C.Late)
                continue;
            Body += std::string(First ? "" : ",") + "{\"cmd\":" + std::to_string(Cmd) +
                    ",\"sent\":" + std::to_string(C.Sent) +
                    ",\"pending\":" + std::to_string(C.Pending) +
                    ",\"failed\":" + std::to_string(C.Failed) +
                    ",\"nobuild\":" + std::to_string(C.NotBuilt) +
                    ",\"late\":" + std::to_string(C.Late) + ",\"busy\":" + std::to_string(C.Busy) +
                    "}";
            First = false;
        }
        Body += "],\"reg\":{\"changes\":" + std::to_string(S.RegChanges) +
                ",\"rewrites\":" + std::to_string(S.RegRewrites) +
                ",\"refused\":" + std::to_string(S.RegRefused) +
                "},\"findings\":" + std::to_string(S.Findings) + "}";
        Write(T, "end", Body);
        return;
    }
    Write(T, "end",
          " expects: " + std::to_string(S.ExpectsHeld) + " held, " +
              std::to_string(S.ExpectsFailed) + " failed");
    std::string Requests;
    for (unsigned Cmd = 0; Cmd < S.Requests.size(); ++Cmd) {
        const CommandCounts &C = S.Requests[Cmd];
        if (!C.Sent && !C.NotBuilt && !C.Busy && !C.Late)
            continue;
        Requests += (Requests.empty() ? " " : "; ") + CommandText(Cmd) + " " +
                    std::to_string(C.Sent) + " sent";
        const std::pair<uint64_t, const char *> Parts[] = {{C.Pending, " pending"},
                                                           {C.Failed, " failed"},
                                                           {C.NotBuilt, " not built"},
                                                           {C.Late, " completed late"},
                                                           {C.Busy, " skipped busy"}};
        for (const auto &[N, What] : Parts)
            if (N)
                Requests += ", " + std::to_string(N) + What;
    }
    Write(T, "end", " requests:" + (Requests.empty() ? std::string(" none") : Requests));
    Write(T, "end",
          " registry writes: " + Counted(S.RegChanges, "change") + ", " +
              Counted(S.RegRewrites, "unchanged rewrite") + ", " + std::to_string(S.RegRefused) +
              " refused");
    Write(T, "end", " verifier findings: " + std::to_string(S.Findings));
    uint64_t Failures = S.ExpectsFailed + S.Findings;
    if (Failures)
        Write(T, "end", " " + Counted(Failures, "failure"));
    else if (S.ExpectsHeld)
        Write(T, "end", " every expect held");
    else
        Write(T, "end", " no expects; no verifier finding");
}

} // namespace kvrsim

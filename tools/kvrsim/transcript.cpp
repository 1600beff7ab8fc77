// Event printers for the timeline and the JSON lines.

#include "transcript.h"

#include "scenario.h"

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

void Transcript::Stamp(uint64_t T, const char *Ev)
{
    if (Json) {
        Out << "{\"t\":" << T << ",\"ev\":\"" << Ev << "\"";
    } else {
        char Buf[48];
        std::snprintf(Buf, sizeof Buf, "%9llu ms  %-8s", static_cast<unsigned long long>(T), Ev);
        Out << Buf;
    }
}

void Transcript::Boot(uint64_t T, uint32_t Status)
{
    Stamp(T, "boot");
    if (Json)
        Out << ",\"status\":" << Status << "}\n";
    else
        Out << " DriverEntry returned " << Hex32(Status) << "\n";
}

void Transcript::Notify(uint64_t T, const char *Kind, const std::string &Name)
{
    Stamp(T, "notify");
    if (Json)
        Out << ",\"kind\":\"" << Kind << "\",\"name\":\"" << JsonEscape(Name) << "\"}\n";
    else
        Out << " " << Kind << " " << Name << "\n";
}

void Transcript::Open(uint64_t T, bool Ok)
{
    Stamp(T, "open");
    if (Json)
        Out << ",\"ok\":" << (Ok ? "true" : "false") << "}\n";
    else
        Out << (Ok ? " \\Device\\KEVO-0 opened\n" : " \\Device\\KEVO-0 could not be opened\n");
}

void Transcript::Release(uint64_t T)
{
    Stamp(T, "release");
    if (Json)
        Out << "}\n";
    else
        Out << " reference on \\Device\\KEVO-0 dropped\n";
}

void Transcript::Request(uint64_t T, unsigned Cmd, bool Built, uint32_t Status)
{
    Stamp(T, "request");
    std::string S = Built ? Hex32(Status) : std::string("nobuild");
    if (Json)
        Out << ",\"cmd\":" << Cmd << ",\"status\":\"" << S << "\"}\n";
    else
        Out << " command " << Cmd << " -> " << (Built ? S : "not built") << "\n";
}

void Transcript::RegWrite(uint64_t T, KeyName Key, const std::string &Name, uint32_t Type,
                          const std::vector<uint8_t> &Data, bool Ok)
{
    RegWriteOther(T, KeyText(Key), Name, Type, Data, Ok);
}

void Transcript::RegWriteOther(uint64_t T, const std::string &Key, const std::string &Name,
                               uint32_t Type, const std::vector<uint8_t> &Data, bool Ok)
{
    Stamp(T, "reg");
    if (Json)
        Out << ",\"key\":\"" << JsonEscape(Key) << "\",\"name\":\"" << JsonEscape(Name)
            << "\",\"type\":" << Type << ",\"data\":\"" << HexBytes(Data)
            << "\",\"ok\":" << (Ok ? "true" : "false") << "}\n";
    else
        Out << " " << Key << " " << Name << " " << TypeText(Type) << " "
            << (Data.empty() ? "(empty)" : HexBytes(Data)) << (Ok ? "" : " REFUSED") << "\n";
}

void Transcript::Ioctl(uint64_t T, uint32_t Code, uint32_t Status, uint64_t Info,
                       const std::vector<uint8_t> &Copied)
{
    Stamp(T, "ioctl");
    if (Json) {
        Out << ",\"code\":\"" << ControlCodeText(Code) << "\",\"status\":" << Status
            << ",\"info\":" << Info << ",\"out\":\"" << HexBytes(Copied) << "\"}\n";
    } else {
        const char *Name = ControlCodeName(Code);
        Out << " " << (Name ? Name : "code") << " " << ControlCodeText(Code) << " -> " << Status
            << " info " << Info;
        if (!Copied.empty())
            Out << " out " << HexBytes(Copied);
        Out << "\n";
    }
}

void Transcript::Power(uint64_t T, uint32_t State)
{
    Stamp(T, "power");
    if (Json) {
        Out << ",\"state\":" << State << "}\n";
    } else {
        const char *Name = PowerText(State);
        Out << " state " << State;
        if (Name)
            Out << " (" << Name << ")";
        Out << "\n";
    }
}

void Transcript::Expect(uint64_t T, bool Ok, unsigned Line, const std::string &Message)
{
    Stamp(T, "expect");
    if (Json)
        Out << ",\"ok\":" << (Ok ? "true" : "false") << ",\"line\":" << Line << ",\"msg\":\""
            << JsonEscape(Message) << "\"}\n";
    else
        Out << " line " << Line << (Ok ? " ok: " : " FAILED: ") << Message << "\n";
}

void Transcript::Show(uint64_t T, const std::vector<RegValue> &Values)
{
    Stamp(T, "show");
    if (Json) {
        Out << ",\"key\":\"product\",\"values\":[";
        for (size_t I = 0; I < Values.size(); ++I) {
            const RegValue &V = Values[I];
            Out << (I ? "," : "") << "{\"name\":\"" << JsonEscape(V.Name)
                << "\",\"type\":" << V.Type << ",\"data\":\"" << HexBytes(V.Data) << "\"}";
        }
        Out << "]}\n";
        return;
    }
    Out << " product key, " << Values.size() << (Values.size() == 1 ? " value\n" : " values\n");
    for (const RegValue &V : Values) {
        char Buf[48];
        std::snprintf(Buf, sizeof Buf, "%9llu ms  %-8s", static_cast<unsigned long long>(T), "");
        Out << Buf << "   " << V.Name << " " << TypeText(V.Type) << " "
            << (V.Data.empty() ? "(empty)" : HexBytes(V.Data)) << "\n";
    }
}

void Transcript::Violation(uint64_t T, const std::string &Message)
{
    Stamp(T, "verifier");
    if (Json)
        Out << ",\"ok\":false,\"msg\":\"" << JsonEscape(Message) << "\"}\n";
    else
        Out << " VIOLATION: " << Message << "\n";
}

void Transcript::End(uint64_t T, unsigned Failures)
{
    if (Json)
        return;
    Stamp(T, "end");
    if (Failures == 0)
        Out << " every expect held\n";
    else
        Out << " " << Failures << (Failures == 1 ? " failure\n" : " failures\n");
}

} // namespace kvrsim

// kvrwine.exe: the user-mode side of the Wine test. It plays the companion
// application (the miniport's private requests through the video port's
// device), the video port's adapter and power management, the sibling frame
// driver's replies and the USB bus (frames plugged and unplugged), and checks
// what comes back and what the driver publishes in the registry.
//
// Every argument is one step, its fields separated by ':'; the last field of
// a step takes the rest of the argument. Each check prints "ok" or "FAIL"
// with what was expected and what was seen. The exit code is the number of
// failed checks (at most 100).
//
//   start                          adapter start: HwFindAdapter, HwInitialize
//   fixed                          the callbacks with fixed answers
//   power:HWID:STATE               HwGetPowerState then HwSetPowerState
//   io:CODE:IN:OUTLEN:ERR:N[:OUT]  one private request: CODE in hex, IN the
//                                  input bytes in hex or '-', OUTLEN the output
//                                  buffer size; expects the error code ERR
//                                  (0 or a Win32 code) and N bytes returned;
//                                  OUT the expected output bytes in hex ('..'
//                                  for a byte not checked) or u:TEXT for a
//                                  UTF-16 text zero-filled to OUTLEN
//   vp:FIELD=V,...                 counters of the video port (=, >=)
//   mark                           remember the sibling's counters
//   kevo:FIELD=V,...               counters of the sibling (=, >=, and +=, +>=
//                                  for the growth since the last mark)
//   grow:FIELD:N[:MS]              wait until a counter of the sibling has grown
//                                  by N since the mark (default 5000 ms)
//   reply:CMD:now|pending|fail:HEX the sibling's answer to a peer command
//   complete[:HEX]                 complete every pending peer request, with
//                                  these reply bytes or the current answers
//   plug:VID:PID:INSTANCE          a USB device interface appears
//   unplug:VID:PID:INSTANCE        and disappears
//   wait:VALUE:HEX[:MS]            wait until a value of the product key holds
//                                  exactly these bytes (default 5000 ms)
//   regset:KEY:NAME:dword|sz:DATA  write a registry value (KEY: product, peer)
//   regdel:KEY:NAME                delete a registry value
//   control-device[:absent]        \\.\kvrminiportobj exists (or not yet)
//   sleep:MS                       let the monitor run

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvrwine.h"

namespace
{

int Failures = 0;
KEVO_STATS Mark;

void Check(bool Passed, const std::string &What, const std::string &Detail = {})
{
    if (Passed) {
        std::printf("ok   %s\n", What.c_str());
    } else {
        ++Failures;
        std::printf("FAIL %s%s%s\n", What.c_str(), Detail.empty() ? "" : ": ", Detail.c_str());
    }
    std::fflush(stdout);
}

std::vector<std::string> Split(const std::string &Text, size_t MaxFields)
{
    std::vector<std::string> Fields;
    size_t Start = 0;
    while (Fields.size() + 1 < MaxFields) {
        size_t Colon = Text.find(':', Start);
        if (Colon == std::string::npos)
            break;
        Fields.push_back(Text.substr(Start, Colon - Start));
        Start = Colon + 1;
    }
    Fields.push_back(Text.substr(Start));
    return Fields;
}

std::string Hex(const uint8_t *Bytes, size_t Length)
{
    std::string Text;
    char Byte[3];
    for (size_t i = 0; i < Length; ++i) {
        std::snprintf(Byte, sizeof(Byte), "%02X", Bytes[i]);
        Text += Byte;
    }
    return Text;
}

// Hex bytes; ".." marks a byte whose value does not matter (mask 0).
bool ParseHex(const std::string &Text, std::vector<uint8_t> &Bytes, std::vector<bool> *Mask)
{
    if (Text.size() % 2)
        return false;
    for (size_t i = 0; i < Text.size(); i += 2) {
        std::string Pair = Text.substr(i, 2);
        if (Pair == "..") {
            if (!Mask)
                return false;
            Bytes.push_back(0);
            Mask->push_back(false);
            continue;
        }
        char *End = nullptr;
        unsigned long Value = std::strtoul(Pair.c_str(), &End, 16);
        if (*End)
            return false;
        Bytes.push_back(uint8_t(Value));
        if (Mask)
            Mask->push_back(true);
    }
    return true;
}

std::wstring Widen(const std::string &Text)
{
    return std::wstring(Text.begin(), Text.end());
}

HANDLE Open(const wchar_t *Name)
{
    return CreateFileW(Name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// A test device of a stand-in driver, opened at first use.
HANDLE TestDevice(HANDLE &Handle, const wchar_t *Name, const char *Printable)
{
    if (Handle == INVALID_HANDLE_VALUE) {
        Handle = Open(Name);
        if (Handle == INVALID_HANDLE_VALUE)
            Check(false, std::string("open ") + Printable,
                  "error " + std::to_string(GetLastError()));
    }
    return Handle;
}

HANDLE VideoPort()
{
    static HANDLE Handle = INVALID_HANDLE_VALUE;
    return TestDevice(Handle, KVRVP_USER_NAME, "the video port's test device");
}

HANDLE Sibling()
{
    static HANDLE Handle = INVALID_HANDLE_VALUE;
    return TestDevice(Handle, KEVO_TEST_USER_NAME, "the sibling's test device");
}

// One device-control request; returns the Win32 error (0 on success).
DWORD Control(HANDLE Device, DWORD Code, const void *In, DWORD InLength, void *Out, DWORD OutLength,
              DWORD *Returned)
{
    DWORD Bytes = 0;
    BOOL Done = DeviceIoControl(Device, Code, const_cast<void *>(In), InLength, Out, OutLength,
                                &Bytes, nullptr);
    if (Returned)
        *Returned = Bytes;
    return Done ? 0 : GetLastError();
}

const wchar_t *KeyPath(const std::string &Alias)
{
    if (Alias == "product")
        return L"Software\\Korvane\\Brindlecourt";
    if (Alias == "peer")
        return L"System\\CurrentControlSet\\Services\\KEVO\\Device0";
    return nullptr;
}

bool ReadValue(const std::string &Name, std::vector<uint8_t> &Data)
{
    HKEY Key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath("product"), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &Key) != ERROR_SUCCESS)
        return false;
    uint8_t Buffer[512];
    DWORD Size = sizeof(Buffer), Type = 0;
    LONG Result = RegQueryValueExW(Key, Widen(Name).c_str(), nullptr, &Type, Buffer, &Size);
    RegCloseKey(Key);
    if (Result != ERROR_SUCCESS)
        return false;
    Data.assign(Buffer, Buffer + Size);
    return true;
}

void StepStart()
{
    KVRVP_START Result = {};
    DWORD Error = Control(VideoPort(), IOCTL_KVRVP_START_ADAPTER, nullptr, 0, &Result,
                          sizeof(Result), nullptr);
    Check(Error == 0 && Result.FindAdapterStatus == 0 && Result.Initialized == 1,
          "adapter start: HwFindAdapter NO_ERROR, the display driver's open: HwInitialize TRUE",
          "error " + std::to_string(Error) + ", HwFindAdapter " +
              std::to_string(Result.FindAdapterStatus) + ", HwInitialize " +
              std::to_string(Result.Initialized));
}

void StepFixed()
{
    KVRVP_FIXED Result = {};
    DWORD Error = Control(VideoPort(), IOCTL_KVRVP_FIXED_CALLBACKS, nullptr, 0, &Result,
                          sizeof(Result), nullptr);
    Check(Error == 0 && Result.Interrupt == 0 && Result.ResetHw == 1 &&
              Result.ChildDescriptorStatus == 1248 && Result.ChildDescriptorStatusAgain == 1248,
          "fixed callbacks: HwInterrupt FALSE, HwResetHw TRUE, no child devices",
          "error " + std::to_string(Error) + ", HwInterrupt " + std::to_string(Result.Interrupt) +
              ", HwResetHw " + std::to_string(Result.ResetHw) + ", child descriptor " +
              std::to_string(Result.ChildDescriptorStatus) + " then " +
              std::to_string(Result.ChildDescriptorStatusAgain));
}

void StepPower(const std::vector<std::string> &F)
{
    KVRVP_POWER_IN In = {uint32_t(std::strtoul(F.at(1).c_str(), nullptr, 0)),
                         uint32_t(std::strtoul(F.at(2).c_str(), nullptr, 0))};
    KVRVP_POWER_OUT Out = {-1, -1};
    DWORD Error =
        Control(VideoPort(), IOCTL_KVRVP_SET_POWER, &In, sizeof(In), &Out, sizeof(Out), nullptr);
    Check(Error == 0 && Out.GetPowerStatus == 0 && Out.SetPowerStatus == 0,
          "power state " + F.at(2) + " for device " + F.at(1) + ": NO_ERROR from both callbacks",
          "error " + std::to_string(Error) + ", get " + std::to_string(Out.GetPowerStatus) +
              ", set " + std::to_string(Out.SetPowerStatus));
}

void StepIo(const std::string &Step)
{
    std::vector<std::string> F = Split(Step, 7);
    if (F.size() < 6) {
        Check(false, Step, "malformed step");
        return;
    }
    DWORD Code = DWORD(std::strtoul(F[1].c_str(), nullptr, 16));
    std::vector<uint8_t> In;
    if (F[2] != "-" && !ParseHex(F[2], In, nullptr)) {
        Check(false, Step, "bad input bytes");
        return;
    }
    DWORD OutLength = DWORD(std::strtoul(F[3].c_str(), nullptr, 0));
    DWORD WantError = DWORD(std::strtoul(F[4].c_str(), nullptr, 0));
    DWORD WantBytes = DWORD(std::strtoul(F[5].c_str(), nullptr, 0));

    std::vector<uint8_t> Want;
    std::vector<bool> Mask;
    if (F.size() == 7) {
        if (F[6].rfind("u:", 0) == 0) {
            for (char c : F[6].substr(2)) {
                Want.push_back(uint8_t(c));
                Want.push_back(0);
            }
            Want.resize(OutLength, 0);
            Mask.assign(Want.size(), true);
        } else if (!ParseHex(F[6], Want, &Mask)) {
            Check(false, Step, "bad expected bytes");
            return;
        }
    }

    // The output buffer starts as a copy of the input (as METHOD_BUFFERED
    // hands it to the driver) so that bytes the driver leaves alone show.
    std::vector<uint8_t> Out(OutLength + 1, 0xEE);
    for (size_t i = 0; i < OutLength && i < In.size(); ++i)
        Out[i] = In[i];
    DWORD Returned = 0;
    DWORD Error = Control(VideoPort(), Code, In.empty() ? nullptr : In.data(), DWORD(In.size()),
                          OutLength ? Out.data() : nullptr, OutLength, &Returned);

    bool Passed = Error == WantError && Returned == WantBytes;
    for (size_t i = 0; Passed && i < Want.size(); ++i)
        Passed = !Mask[i] || (i < OutLength && Out[i] == Want[i]);
    std::string Seen = "error " + std::to_string(Error) + ", " + std::to_string(Returned) +
                       " bytes, output " +
                       Hex(Out.data(), Want.size() < OutLength ? Want.size() : OutLength);
    Check(Passed,
          "request " + F[1] + " in " + std::to_string(In.size()) + " out " + F[3] + ": error " +
              F[4] + ", " + F[5] + " bytes" + (F.size() == 7 ? ", output " + F[6] : std::string()),
          Seen);
}

bool ReadVpStats(KVRVP_STATS &Stats)
{
    return Control(VideoPort(), IOCTL_KVRVP_STATS, nullptr, 0, &Stats, sizeof(Stats), nullptr) == 0;
}

bool ReadKevoStats(KEVO_STATS &Stats)
{
    return Control(Sibling(), IOCTL_KEVO_STATS, nullptr, 0, &Stats, sizeof(Stats), nullptr) == 0;
}

bool VpField(const KVRVP_STATS &S, const std::string &Name, uint64_t &Value)
{
    struct Entry {
        const char *Name;
        uint64_t Value;
    } const Fields[] = {
        {"InitializeCalls", S.InitializeCalls},
        {"ZeroMemoryCalls", S.ZeroMemoryCalls},
        {"HwInitDataSize", S.HwInitDataSize},
        {"HwDeviceExtensionSize", S.HwDeviceExtensionSize},
        {"AdapterInterfaceType", S.AdapterInterfaceType},
        {"Redirected", S.Redirected},
        {"FindAdapterCalls", S.FindAdapterCalls},
        {"ProfileRegistrations", S.Registrations[1]},
        {"InterfaceRegistrations", S.Registrations[2]},
        {"OtherRegistrations", S.Registrations[0]},
        {"InterfaceRegistrationFlags", S.InterfaceRegistrationFlags},
        {"InterfaceRegistrationClassIsUsb", S.InterfaceRegistrationClassIsUsb},
        {"ProfileRegistrationHasData", S.ProfileRegistrationHasData},
        {"RegistrationsWithoutDriver", S.RegistrationsWithoutDriver},
        {"ArrivalsDelivered", S.ArrivalsDelivered},
        {"RemovalsDelivered", S.RemovalsDelivered},
        {"PeerOpenCalls", S.PeerOpenCalls},
        {"PeerOpenFailures", S.PeerOpenFailures},
        {"PeerOpenAccess", S.PeerOpenAccess},
        {"Unregistrations", S.Unregistrations},
        {"TargetRegistrations", S.Registrations[3]},
        {"StartIoCalls", S.StartIoCalls},
        {"LastIoControlCode", S.LastIoControlCode},
        {"LastStatus", uint64_t(uint32_t(S.LastStatus))},
        {"LastInformation", S.LastInformation},
        {"LastStartIoResult", S.LastStartIoResult},
        {"ExtensionUntouched", S.ExtensionUntouched},
        {"InitializeAdapterCalls", S.InitializeAdapterCalls},
        {"DisplayOpens", S.DisplayOpens},
        {"UserOpensRefused", S.UserOpensRefused},
        {"ForwardedRequests", S.ForwardedRequests},
        {"ReplyOverruns", S.ReplyOverruns},
        {"UndefinedReplyBytes", S.UndefinedReplyBytes},
    };
    for (const Entry &E : Fields) {
        if (Name == E.Name) {
            Value = E.Value;
            return true;
        }
    }
    return false;
}

bool KevoField(const KEVO_STATS &S, const std::string &Name, uint64_t &Value)
{
    if (Name.rfind("Command", 0) == 0 && Name.size() == 8 && Name[7] >= '0' && Name[7] <= '7') {
        Value = S.Commands[Name[7] - '0'];
        return true;
    }
    struct Entry {
        const char *Name;
        uint64_t Value;
    } const Fields[] = {
        {"Malformed", S.Malformed},   {"OtherCommands", S.OtherCommands},
        {"Pending", S.Pending},       {"PeerCreates", S.PeerCreates},
        {"PeerCloses", S.PeerCloses}, {"InterfaceCalls", S.InterfaceCalls},
    };
    for (const Entry &E : Fields) {
        if (Name == E.Name) {
            Value = E.Value;
            return true;
        }
    }
    return false;
}

// FIELD=V, FIELD>=V, and with Growth FIELD+=V, FIELD+>=V.
template <typename Stats, typename Lookup>
void CheckFields(const char *Who, const std::string &List, const Stats &Now, const Stats *Before,
                 Lookup Field)
{
    size_t Start = 0;
    while (Start <= List.size()) {
        size_t Comma = List.find(',', Start);
        std::string Item =
            List.substr(Start, Comma == std::string::npos ? std::string::npos : Comma - Start);
        Start = Comma == std::string::npos ? List.size() + 1 : Comma + 1;
        size_t Op = Item.find_first_of("+>=");
        if (Op == std::string::npos) {
            Check(false, std::string(Who) + " " + Item, "malformed");
            continue;
        }
        std::string Name = Item.substr(0, Op);
        std::string Operator = Item.substr(Op, Item.find_first_not_of("+>=", Op) - Op);
        uint64_t Want = std::strtoull(Item.c_str() + Op + Operator.size(), nullptr, 0);
        uint64_t Value = 0, Old = 0;
        if (!Field(Now, Name, Value) ||
            (Operator[0] == '+' && (!Before || !Field(*Before, Name, Old)))) {
            Check(false, std::string(Who) + " " + Item, "unknown counter");
            continue;
        }
        uint64_t Seen = Operator[0] == '+' ? Value - Old : Value;
        bool AtLeast = Operator.find('>') != std::string::npos;
        Check(AtLeast ? Seen >= Want : Seen == Want, std::string(Who) + " " + Item,
              "seen " + std::to_string(Seen));
    }
}

void StepVp(const std::string &List)
{
    KVRVP_STATS Stats = {};
    if (!ReadVpStats(Stats)) {
        Check(false, "video port counters", "cannot read");
        return;
    }
    CheckFields("video port", List, Stats, static_cast<const KVRVP_STATS *>(nullptr), VpField);
}

void StepKevo(const std::string &List)
{
    KEVO_STATS Stats = {};
    if (!ReadKevoStats(Stats)) {
        Check(false, "sibling counters", "cannot read");
        return;
    }
    CheckFields("sibling", List, Stats, &Mark, KevoField);
}

// Waits until a counter of the sibling has grown by at least N since the mark.
void StepGrow(const std::vector<std::string> &F)
{
    if (F.size() < 3) {
        Check(false, "grow", "malformed step");
        return;
    }
    uint64_t Want = std::strtoull(F[2].c_str(), nullptr, 0);
    DWORD Limit = F.size() > 3 ? DWORD(std::strtoul(F[3].c_str(), nullptr, 0)) : 5000;
    DWORD Start = GetTickCount();
    uint64_t Value = 0, Old = 0;
    bool Known = false;
    for (;;) {
        KEVO_STATS Now = {};
        Known = ReadKevoStats(Now) && KevoField(Now, F[1], Value) && KevoField(Mark, F[1], Old);
        if (!Known || Value - Old >= Want || GetTickCount() - Start > Limit)
            break;
        Sleep(20);
    }
    Check(Known && Value - Old >= Want, "sibling " + F[1] + " grows by " + F[2],
          Known ? "grew by " + std::to_string(Value - Old) + " in " + std::to_string(Limit) + " ms"
                : "unknown counter");
}

void StepReply(const std::vector<std::string> &F)
{
    KEVO_REPLY Reply = {};
    Reply.Command = uint8_t(std::strtoul(F.at(1).c_str(), nullptr, 0));
    const std::string &Kind = F.at(2);
    Reply.Answer = Kind == "pending" ? KEVO_ANSWER_PENDING
                   : Kind == "fail"  ? KEVO_ANSWER_FAIL
                   : Kind == "later" ? KEVO_ANSWER_LATER
                                     : KEVO_ANSWER_NOW;
    std::vector<uint8_t> Bytes;
    ParseHex(F.size() > 3 ? F[3] : std::string(), Bytes, nullptr);
    for (size_t i = 0; i < Bytes.size() && i < 2; ++i)
        Reply.Reply[i] = Bytes[i];
    DWORD Error =
        Control(Sibling(), IOCTL_KEVO_SET_REPLY, &Reply, sizeof(Reply), nullptr, 0, nullptr);
    Check(Error == 0, "sibling answers command " + F.at(1) + " " + Kind,
          "error " + std::to_string(Error));
}

void StepComplete(const std::vector<std::string> &F)
{
    std::vector<uint8_t> Reply;
    if (F.size() > 1 && (!ParseHex(F[1], Reply, nullptr) || Reply.size() != 2)) {
        Check(false, "complete", "malformed step");
        return;
    }
    DWORD Error =
        Control(Sibling(), IOCTL_KEVO_COMPLETE_PENDING, Reply.empty() ? nullptr : Reply.data(),
                DWORD(Reply.size()), nullptr, 0, nullptr);
    Check(Error == 0,
          "sibling completes its pending requests" + (F.size() > 1 ? " with " + F[1] : ""),
          "error " + std::to_string(Error));
}

void StepPlug(const std::vector<std::string> &F, bool Arrival)
{
    KEVO_PLUG Plug = {};
    Plug.Arrival = Arrival;
    const std::string &Vid = F.at(1), &Pid = F.at(2), &Instance = F.at(3);
    for (size_t i = 0; i < 4 && i < Vid.size(); ++i)
        Plug.VendorId[i] = uint16_t(Vid[i]);
    for (size_t i = 0; i < 4 && i < Pid.size(); ++i)
        Plug.ProductId[i] = uint16_t(Pid[i]);
    for (size_t i = 0; i < 24 && i < Instance.size(); ++i)
        Plug.Instance[i] = uint16_t(Instance[i]);
    DWORD Error = Control(Sibling(), IOCTL_KEVO_PLUG, &Plug, sizeof(Plug), nullptr, 0, nullptr);
    Check(Error == 0,
          std::string(Arrival ? "plug" : "unplug") + " USB " + Vid + "/" + Pid + " " + Instance,
          "error " + std::to_string(Error));
}

void StepWait(const std::vector<std::string> &F)
{
    std::vector<uint8_t> Want;
    if (F.size() < 3 || !ParseHex(F[2], Want, nullptr)) {
        Check(false, "wait", "malformed step");
        return;
    }
    DWORD Limit = F.size() > 3 ? DWORD(std::strtoul(F[3].c_str(), nullptr, 0)) : 5000;
    DWORD Start = GetTickCount();
    std::vector<uint8_t> Seen;
    bool Found = false;
    for (;;) {
        Seen.clear();
        Found = ReadValue(F[1], Seen);
        if (Found && Seen == Want)
            break;
        if (GetTickCount() - Start > Limit)
            break;
        Sleep(20);
    }
    Check(Found && Seen == Want, F[1] + " becomes " + F[2],
          Found
              ? "still " + Hex(Seen.data(), Seen.size()) + " after " + std::to_string(Limit) + " ms"
              : "value absent");
}

void StepRegSet(const std::vector<std::string> &F)
{
    const wchar_t *Path = F.size() == 5 ? KeyPath(F[1]) : nullptr;
    HKEY Key;
    LONG Result = ERROR_INVALID_PARAMETER;
    if (Path &&
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                        nullptr, &Key, nullptr) == ERROR_SUCCESS) {
        std::wstring Name = Widen(F[2]);
        if (F[3] == "dword") {
            DWORD Value = DWORD(std::strtoul(F[4].c_str(), nullptr, 0));
            Result = RegSetValueExW(Key, Name.c_str(), 0, REG_DWORD,
                                    reinterpret_cast<const BYTE *>(&Value), sizeof(Value));
        } else {
            std::wstring Text = Widen(F[4]);
            Result = RegSetValueExW(Key, Name.c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE *>(Text.c_str()),
                                    DWORD((Text.size() + 1) * sizeof(wchar_t)));
        }
        RegCloseKey(Key);
    }
    Check(Result == ERROR_SUCCESS, "registry " + F.at(1) + " " + F.at(2) + " set",
          "error " + std::to_string(Result));
}

void StepRegDel(const std::vector<std::string> &F)
{
    const wchar_t *Path = F.size() == 3 ? KeyPath(F[1]) : nullptr;
    HKEY Key;
    LONG Result = ERROR_INVALID_PARAMETER;
    if (Path && RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &Key) ==
                    ERROR_SUCCESS) {
        Result = RegDeleteValueW(Key, Widen(F[2]).c_str());
        if (Result == ERROR_FILE_NOT_FOUND)
            Result = ERROR_SUCCESS;
        RegCloseKey(Key);
    }
    Check(Result == ERROR_SUCCESS, "registry " + F.at(1) + " " + F.at(2) + " deleted",
          "error " + std::to_string(Result));
}

// The miniport's control device serves nothing, but once the adapter has
// started its name and link exist: opening it then fails for another reason
// than a missing name.
void StepControlDevice(bool Present)
{
    HANDLE Handle = Open(L"\\\\.\\kvrminiportobj");
    DWORD Error = Handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (Handle != INVALID_HANDLE_VALUE)
        CloseHandle(Handle);
    bool Missing = Error == ERROR_FILE_NOT_FOUND || Error == ERROR_PATH_NOT_FOUND;
    Check(Missing != Present,
          std::string("control device \\\\.\\kvrminiportobj ") +
              (Present ? "exists" : "does not exist yet"),
          "error " + std::to_string(Error));
}

// A user process cannot open the video device: the video port creates it
// exclusive and the display driver holds it.
// Wine 8 gives a handle even when the device refused the create request;
// then every request on it must be refused, and none reach HwStartIO.
void StepVideoDevice()
{
    HANDLE Handle = Open(KVRVP_VIDEO_USER_NAME);
    DWORD Error = Handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    DWORD RequestError = ERROR_ACCESS_DENIED;
    if (Handle != INVALID_HANDLE_VALUE) {
        uint8_t Out = 0;
        RequestError = Control(Handle, 0x234034, nullptr, 0, &Out, 1, nullptr);
        CloseHandle(Handle);
    }
    bool Refused = Handle == INVALID_HANDLE_VALUE ? Error == ERROR_ACCESS_DENIED
                                                  : RequestError == ERROR_ACCESS_DENIED;
    Check(Refused, "a user process cannot use the video device",
          Handle == INVALID_HANDLE_VALUE
              ? "open: error " + std::to_string(Error)
              : "opened; its request: error " + std::to_string(RequestError));
}

void Run(const std::string &Step)
{
    std::vector<std::string> F = Split(Step, 5);
    const std::string &Verb = F[0];
    if (Verb == "start")
        StepStart();
    else if (Verb == "fixed")
        StepFixed();
    else if (Verb == "power" && F.size() == 3)
        StepPower(F);
    else if (Verb == "io")
        StepIo(Step);
    else if (Verb == "vp" && F.size() == 2)
        StepVp(Step.substr(3));
    else if (Verb == "mark")
        Check(ReadKevoStats(Mark), "sibling counters marked");
    else if (Verb == "kevo" && F.size() >= 2)
        StepKevo(Step.substr(5));
    else if (Verb == "grow")
        StepGrow(F);
    else if (Verb == "reply" && F.size() >= 3)
        StepReply(F);
    else if (Verb == "complete")
        StepComplete(F);
    else if ((Verb == "plug" || Verb == "unplug") && F.size() == 4)
        StepPlug(F, Verb == "plug");
    else if (Verb == "wait")
        StepWait(Split(Step, 4));
    else if (Verb == "regset")
        StepRegSet(Split(Step, 5));
    else if (Verb == "regdel")
        StepRegDel(Split(Step, 3));
    else if (Verb == "control-device")
        StepControlDevice(F.size() == 1);
    else if (Verb == "video-device")
        StepVideoDevice();
    else if (Verb == "sleep" && F.size() == 2)
        Sleep(DWORD(std::strtoul(F[1].c_str(), nullptr, 0)));
    else
        Check(false, Step, "unknown step");
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        Run(argv[i]);
    return Failures > 100 ? 100 : Failures;
}

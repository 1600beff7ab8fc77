// kvrsim's command line: run a scenario, print the identifier tables, help.

#include "cli.h"

// The C library's declarations come before the platform header's own
// declaration of strncpy.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "runner.h"
#include "scenario.h"
#include "transcript.h"
#include "typical_road.h"

#include "../../driver/detect/detect.h"
#include "../../sim/sim.h"

namespace kvrsim
{

namespace
{

constexpr const char *Usage =
    "usage: kvrsim [--json] [--quiet | --changes] [--timeline FILE]\n"
    "              [--target 7|vista] [--image SYS] [--display-image DLL]\n"
    "              [SCENARIO | -]\n"
    "       kvrsim ids\n"
    "       kvrsim --help\n";

void PrintHelp(std::ostream &Out)
{
    Out << Usage
        << "\n"
           "Loads the driver on the simulated kernel and runs a scenario on the virtual\n"
           "clock. With no SCENARIO it runs the built-in typical road; '-' reads the\n"
           "scenario from standard input. --json prints one JSON object a line instead\n"
           "of the timeline. --quiet prints no platform events, only the expects,\n"
           "'show', verifier findings and the closing summary (for long runs).\n"
           "--changes prints only what changed: registry writes that store the bytes\n"
           "already there are named on one line a turn, and turns identical to the\n"
           "one before are counted on one 'repeat' line. --timeline FILE draws the\n"
           "run as an SVG picture, lanes along virtual time (with --quiet too).\n"
           "--target picks the Windows version whose "
           "documented behaviour the\n"
           "simulated kernel follows: 7 (Windows 7 x64, the default) or vista (Windows\n"
           "Vista x64). --image runs the real kvrminiport.sys at SYS instead of the\n"
           "host build of the driver (with kvrminiport.sym beside it, which the\n"
           "windows-x64 build writes from the PDB): the same scenario, the same\n"
           "transcript; its deepest stack use goes to standard error. With it the\n"
           "real display driver runs too: kvrdisplay.dll beside SYS when it is there\n"
           "(with kvrdisplay.sym), or the DLL --display-image names (which also runs\n"
           "beside the host build of the miniport).\n"
           "'ids' prints the frame identifier tables as one JSON object.\n"
           "\n"
           "The run ends with a summary: expects held and failed, requests per\n"
           "command, registry writes (changes, unchanged rewrites, refused) and\n"
           "verifier findings (with --json: the closing 'end' event). Events are\n"
           "printed as they happen and kept nowhere: a long run needs no more memory\n"
           "than a short one. 'wait' takes at most a day (86400000 ms); a longer run\n"
           "repeats it.\n"
           "\n"
           "Exit status: 0 when every expect held, 1 when an expect failed or the\n"
           "verifier found a fault (the run goes on to the end), 2 for a usage or\n"
           "scenario error (printed as FILE:LINE: message, nothing run).\n"
           "\n"
           "Scenario commands, one a line ('#' starts a comment; numbers decimal or\n"
           "0x-hex; HEX is an even number of hex digits without separators):\n";
    for (const CommandHelp &C : CommandTable()) {
        std::string Syntax = C.Syntax;
        Out << "  " << Syntax;
        if (Syntax.size() < 44)
            Out << std::string(44 - Syntax.size(), ' ');
        else
            Out << "\n  " << std::string(44, ' ');
        Out << C.Effect << "\n";
    }
    Out << "\nControl code names:";
    for (const ControlName &N : ControlNames())
        Out << " " << N.Name;
    Out << "\n";
}

std::string IdText(const char *Text)
{
    return std::string(Text, strnlen(Text, IdTextSize));
}

template <size_t N> void PrintIdList(std::ostream &Out, const char (&Table)[N][IdTextSize])
{
    Out << "[";
    for (size_t I = 0; I < N; ++I)
        Out << (I ? "," : "") << "\"" << JsonEscape(IdText(Table[I])) << "\"";
    Out << "]";
}

int UsageError(std::ostream &Err, const std::string &Message)
{
    Err << "kvrsim: " << Message << "\n" << Usage;
    return ExitUsage;
}

} // namespace

const char *BuiltInScenario()
{
    return TypicalRoadScenario;
}

void PrintIds(std::ostream &Out)
{
    Out << "{\"vendor\":\"" << JsonEscape(IdText(FrameVendorId[0])) << "\",\"vendor_lower\":\""
        << JsonEscape(IdText(FrameVendorId[1])) << "\",\"monitor\":";
    PrintIdList(Out, MonitorModeIds);
    Out << ",\"alt\":";
    PrintIdList(Out, AltModeIds);
    Out << ",\"guarded\":\"" << JsonEscape(IdText(GuardedAltModeId)) << "\",\"wide\":";
    PrintIdList(Out, WideModelIds);
    Out << "}\n";
}

int KvrsimMain(const std::vector<std::string> &Args, std::istream &In, std::ostream &Out,
               std::ostream &Err)
{
    if (!Args.empty() && Args[0] == "ids") {
        if (Args.size() != 1)
            return UsageError(Err, "'ids' takes no arguments");
        PrintIds(Out);
        return ExitOk;
    }

    RunOptions Opt;
    std::string PicturePath;
    bool Vista = false;
    bool HaveScenario = false;
    std::string Path;
    std::string Image;
    std::string DisplayImage;
    for (size_t I = 0; I < Args.size(); ++I) {
        const std::string &A = Args[I];
        if (A == "--help" || A == "-h") {
            PrintHelp(Out);
            return ExitOk;
        }
        if (A == "--json") {
            Opt.Json = true;
        } else if (A == "--quiet") {
            Opt.Quiet = true;
        } else if (A == "--changes") {
            Opt.ChangesOnly = true;
        } else if (A == "--timeline") {
            if (I + 1 >= Args.size() || Args[I + 1].empty())
                return UsageError(Err, "--timeline takes a file name");
            PicturePath = Args[++I];
        } else if (A == "--target") {
            std::string Target = I + 1 < Args.size() ? Args[++I] : "";
            if (Target != "7" && Target != "vista")
                return UsageError(Err, "--target takes 7 or vista");
            Vista = Target == "vista";
        } else if (A == "--image") {
            if (I + 1 >= Args.size() || Args[I + 1].empty())
                return UsageError(Err, "--image takes the path of kvrminiport.sys");
            Image = Args[++I];
        } else if (A == "--display-image") {
            if (I + 1 >= Args.size() || Args[I + 1].empty())
                return UsageError(Err, "--display-image takes the path of kvrdisplay.dll");
            DisplayImage = Args[++I];
        } else if (A != "-" && !A.empty() && A[0] == '-') {
            return UsageError(Err, "unknown option '" + A +
                                       "' (--json, --quiet, --changes, --timeline, --target, "
                                       "--image, --display-image, --help)");
        } else if (HaveScenario) {
            return UsageError(Err, "more than one scenario given");
        } else {
            HaveScenario = true;
            Path = A;
        }
    }

    if (Opt.Quiet && Opt.ChangesOnly)
        return UsageError(Err, "--quiet prints no events and --changes only some: give one");

    Scenario S;
    std::string Text;
    if (!HaveScenario) {
        S.FileName = "typical-road.kvs";
        Text = BuiltInScenario();
    } else if (Path == "-") {
        S.FileName = "<stdin>";
        Text.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    } else {
        S.FileName = Path;
        std::ifstream F(Path, std::ios::binary);
        if (!F) {
            Err << Path << ": cannot open: " << std::strerror(errno) << "\n";
            return ExitUsage;
        }
        std::ostringstream Buf;
        Buf << F.rdbuf();
        if (F.bad()) {
            Err << Path << ": cannot read\n";
            return ExitUsage;
        }
        Text = Buf.str();
    }

    if (auto E = ParseScenario(Text, S)) {
        Err << S.FileName << ":" << E->Line << ": " << E->Message << "\n";
        return ExitUsage;
    }
    S.Vista = Vista;
    std::ofstream Picture;
    if (!PicturePath.empty()) {
        Picture.open(PicturePath, std::ios::binary | std::ios::trunc);
        if (!Picture) {
            Err << PicturePath << ": cannot write: " << std::strerror(errno) << "\n";
            return ExitUsage;
        }
        Opt.Picture = &Picture;
    }
    if (DisplayImage.empty() && !Image.empty()) {
        std::filesystem::path Beside =
            std::filesystem::path(Image).replace_filename("kvrdisplay.dll");
        if (std::filesystem::exists(Beside))
            DisplayImage = Beside.string();
    }
    if (Image.empty() && DisplayImage.empty())
        return RunScenario(S, Opt, Out, Err) == 0 ? ExitOk : ExitExpectFailed;
    if (!Image.empty()) {
        if (std::string Error = sim::UseImage(Image); !Error.empty()) {
            Err << "kvrsim: " << Error << "\n";
            return ExitUsage;
        }
    }
    if (!DisplayImage.empty()) {
        if (std::string Error = sim::UseDisplayImage(DisplayImage); !Error.empty()) {
            Err << "kvrsim: " << Error << "\n";
            sim::StopUsingImage();
            return ExitUsage;
        }
        Err << "kvrsim: display driver: " << DisplayImage << "\n";
    }
    int Status = RunScenario(S, Opt, Out, Err);
    sim::ImageStackUse Stack = sim::ImageStack();
    Err << "kvrsim: image stack: deepest " << Stack.Deepest << " bytes ("
        << (Stack.Where.empty() ? "none seen" : Stack.Where) << "), budget "
        << sim::ImageStackBudget << "\n";
    sim::StopUsingDisplayImage();
    sim::StopUsingImage();
    return Status == 0 ? ExitOk : ExitExpectFailed;
}

} // namespace kvrsim

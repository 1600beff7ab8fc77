// The run's picture as SVG: lanes, bins, hover texts and a legend.

#include "timeline.h"

#include "transcript.h"

#include <algorithm>
#include <cstdio>

namespace kvrsim
{

namespace
{

// Layout, in SVG user units (pixels).
constexpr double LabelWidth = 200;
constexpr double PlotWidth = 1000;
constexpr double RightMargin = 24;
constexpr double LaneHeight = 26;
constexpr double LaneGap = 6;
constexpr double Top = 60;

struct MarkStyle {
    const char *Name; // in hover texts and the legend
    const char *Color;
};

// Indexed by Mark.
constexpr MarkStyle Styles[] = {
    {"driver loaded, adapter step", "#555555"},
    {"arrival", "#2a9d3a"},
    {"removal", "#d62728"},
    {"other notification", "#999999"},
    {"peer opened", "#1f77b4"},
    {"peer open failed", "#d62728"},
    {"peer released", "#ff7f0e"},
    {"pnp register", "#1f77b4"},
    {"pnp query-remove", "#e6a700"},
    {"pnp remove-cancelled", "#2a9d3a"},
    {"pnp surprise-removal", "#b00000"},
    {"pnp remove-complete", "#ff7f0e"},
    {"pnp REMOVE", "#d62728"},
    {"pnp unregister", "#8c564b"},
    {"pnp device added", "#17becf"},
    {"pnp other", "#999999"},
    {"sent, answered", "#2a9d3a"},
    {"sent, left pending", "#e6a700"},
    {"sent, failed", "#d62728"},
    {"not built", "#8c2d04"},
    {"completed late", "#1f77b4"},
    {"completed late, failed", "#e377c2"},
    {"skipped while busy", "#d62728"},
    {"value changed", "#6a3d9a"},
    {"same bytes rewritten", "#bbbbbb"},
    {"write refused", "#d62728"},
    {"control request answered 0", "#2a9d3a"},
    {"control request refused", "#ff7f0e"},
    {"power state", "#17becf"},
    {"display on, surface over the data file", "#2a9d3a"},
    {"display on, private surface", "#e6a700"},
    {"display off", "#999999"},
    {"display step failed", "#d62728"},
    {"escape", "#1f77b4"},
    {"expect held", "#2a9d3a"},
    {"expect FAILED", "#d62728"},
    {"verifier finding", "#b00000"},
};
static_assert(sizeof Styles / sizeof Styles[0] == size_t(Mark::Count_));

const char *const StateColors[] = {"#eeeeee", "#a6cee3", "#b2df8a", "#fdbf6f",
                                   "#cab2d6", "#fb9a99", "#ffff99", "#b15928"};

// h:mm:ss.mmm, exact.
std::string TimeText(uint64_t Ms)
{
    char Buf[48];
    std::snprintf(Buf, sizeof Buf, "%llu:%02llu:%02llu.%03llu",
                  static_cast<unsigned long long>(Ms / 3'600'000),
                  static_cast<unsigned long long>(Ms / 60'000 % 60),
                  static_cast<unsigned long long>(Ms / 1000 % 60),
                  static_cast<unsigned long long>(Ms % 1000));
    return Buf;
}

// A short axis label: 250 ms, 1.5 s, 12 min, 6 h.
std::string AxisText(uint64_t Ms)
{
    char Buf[32];
    if (Ms == 0)
        return "0";
    if (Ms % 3'600'000 == 0)
        std::snprintf(Buf, sizeof Buf, "%llu h", static_cast<unsigned long long>(Ms / 3'600'000));
    else if (Ms % 60'000 == 0)
        std::snprintf(Buf, sizeof Buf, "%llu min", static_cast<unsigned long long>(Ms / 60'000));
    else if (Ms >= 1000)
        std::snprintf(Buf, sizeof Buf, "%g s", double(Ms) / 1000);
    else
        std::snprintf(Buf, sizeof Buf, "%llu ms", static_cast<unsigned long long>(Ms));
    return Buf;
}

// The axis step: 1, 2 or 5 times a power of ten milliseconds, or a round
// number of minutes or hours, giving at most 12 ticks.
uint64_t AxisStep(uint64_t Length)
{
    static const uint64_t Steps[] = {
        1,       2,       5,         10,        20,        50,         100,       250,
        500,     1000,    2000,      5000,      10'000,    30'000,     60'000,    120'000,
        300'000, 600'000, 1'800'000, 3'600'000, 7'200'000, 14'400'000, 21'600'000};
    for (uint64_t S : Steps)
        if (Length / S <= 12)
            return S;
    return 43'200'000;
}

std::string Fixed(double V)
{
    char Buf[32];
    std::snprintf(Buf, sizeof Buf, "%.1f", V);
    return Buf;
}

std::string Rect(double X, double Y, double W, double H, const char *Color, const char *Extra = "")
{
    return "<rect x=\"" + Fixed(X) + "\" y=\"" + Fixed(Y) + "\" width=\"" + Fixed(W) +
           "\" height=\"" + Fixed(H) + "\" fill=\"" + Color + "\"" + Extra + "/>";
}

} // namespace

// "345598 sent, mostly every 250 ms": the count and the most common
// interval between two requests sent.
std::string Timeline::RhythmText(const Lane &L)
{
    if (L.Sent == 0)
        return {};
    std::string S = std::to_string(L.Sent) + " sent";
    auto Most = std::max_element(L.Gaps.begin(), L.Gaps.end(),
                                 [](const auto &A, const auto &B) { return A.second < B.second; });
    if (Most != L.Gaps.end())
        S += ", mostly every " + std::to_string(Most->first) + " ms";
    return S;
}

std::string XmlEscape(const std::string &S)
{
    std::string R;
    R.reserve(S.size());
    for (char C : S) {
        switch (C) {
        case '&':
            R += "&amp;";
            break;
        case '<':
            R += "&lt;";
            break;
        case '>':
            R += "&gt;";
            break;
        case '"':
            R += "&quot;";
            break;
        default:
            // Control bytes are not allowed in XML 1.0 text.
            R.push_back((unsigned char)C < 0x20 && C != '\n' && C != '\t' ? '?' : C);
        }
    }
    return R;
}

Mark PnpMark(const std::string &What)
{
    static const struct {
        const char *Word;
        Mark M;
    } Kinds[] = {{"register", Mark::PnpRegister},
                 {"query-remove", Mark::PnpQueryRemove},
                 {"remove-cancelled", Mark::PnpCancelled},
                 {"surprise-removal", Mark::PnpSurprise},
                 {"remove-complete", Mark::PnpRemoveComplete},
                 {"remove", Mark::PnpRemove},
                 {"unregister", Mark::PnpUnregister},
                 {"add", Mark::PnpAdd}};
    for (const auto &K : Kinds)
        if (What == K.Word)
            return K.M;
    return Mark::PnpOther;
}

Timeline::Timeline(uint64_t EndMs)
    : Length(std::max<uint64_t>(EndMs, 1)), BinMs((Length + Bins - 1) / Bins), Link(Bins),
      Mode(Bins), PowerBand(Bins)
{
    for (Lane *L : {&Connection, &Pnp, &Registry, &Control, &PowerLane, &DisplayLane, &Verdicts})
        L->B.resize(Bins);
    // The four commands of the polling step always have their lanes.
    for (unsigned Cmd : {1u, 4u, 6u, 7u})
        Requests[Cmd].B.resize(Bins);
}

unsigned Timeline::BinOf(uint64_t T) const
{
    return unsigned(std::min<uint64_t>(T / BinMs, Bins - 1));
}

Timeline::Lane &Timeline::LaneOf(Mark M, unsigned Cmd)
{
    switch (M) {
    case Mark::Boot:
    case Mark::Arrival:
    case Mark::Removal:
    case Mark::OtherNotify:
    case Mark::Open:
    case Mark::OpenFailed:
    case Mark::Release:
        return Connection;
    case Mark::PnpRegister:
    case Mark::PnpQueryRemove:
    case Mark::PnpCancelled:
    case Mark::PnpSurprise:
    case Mark::PnpRemoveComplete:
    case Mark::PnpRemove:
    case Mark::PnpUnregister:
    case Mark::PnpAdd:
    case Mark::PnpOther:
        return Pnp;
    case Mark::Sent:
    case Mark::SentPending:
    case Mark::SentFailed:
    case Mark::NotBuilt:
    case Mark::Completed:
    case Mark::CompletedFailed:
    case Mark::Busy: {
        Lane &L = Requests[Cmd];
        if (L.B.empty())
            L.B.resize(Bins);
        return L;
    }
    case Mark::RegChange:
    case Mark::RegRewrite:
    case Mark::RegRefused:
        return Registry;
    case Mark::IoctlOk:
    case Mark::IoctlRefused:
        return Control;
    case Mark::Power:
        return PowerLane;
    case Mark::DisplayFile:
    case Mark::DisplayPrivate:
    case Mark::DisplayOff:
    case Mark::DisplayFailed:
    case Mark::Escape:
        return DisplayLane;
    default:
        return Verdicts;
    }
}

// The lanes that hold a state (link, mode, requests outstanding) carry it
// into every bin up to this one.
void Timeline::FillTo(unsigned Last)
{
    for (; Filled < Last; ++Filled) {
        Link[Filled + 1].Value = LinkNow;
        Mode[Filled + 1].Value = ModeNow;
        PowerBand[Filled + 1].Value = PowerNow;
        for (auto &[Cmd, L] : Requests)
            L.B[Filled + 1].Outstanding = L.Outstanding;
    }
}

void Timeline::Add(uint64_t T, Mark M, const std::string &Note, unsigned Cmd)
{
    unsigned I = BinOf(T);
    FillTo(I);
    Lane &L = LaneOf(M, Cmd);
    Bin &B = L.B[I];
    // The hover text keeps the first event of the bin that says most: a
    // change, a refusal or a finding before a plain one.
    bool Noteworthy =
        M != Mark::Sent && M != Mark::RegRewrite && M != Mark::ExpectHeld && M != Mark::IoctlOk;
    bool Plain = true;
    for (Mark Other : {Mark::RegChange, Mark::RegRefused, Mark::ExpectFailed, Mark::Finding,
                       Mark::IoctlRefused, Mark::SentFailed, Mark::NotBuilt})
        if (B.Counts[size_t(Other)])
            Plain = false;
    if (!Note.empty() && (B.Note.empty() || (Noteworthy && Plain)))
        B.Note = TimeText(T) + " " + Note;
    ++B.Counts[size_t(M)];
    B.First = std::min(B.First, T);
    B.Last = std::max(B.Last, T);
    if (M == Mark::Sent || M == Mark::SentPending || M == Mark::SentFailed) {
        // At most 64 distinct intervals are told apart; the rest are not
        // named, which bounds the memory of an erratic run.
        if (L.Sent++ && (L.Gaps.size() < 64 || L.Gaps.count(T - L.LastSent)))
            ++L.Gaps[T - L.LastSent];
        L.LastSent = T;
    }
    if (M == Mark::SentPending)
        ++L.Outstanding;
    else if ((M == Mark::Completed || M == Mark::CompletedFailed) && L.Outstanding)
        --L.Outstanding;
    B.Outstanding = std::max(B.Outstanding, L.Outstanding);
}

void Timeline::AddRegistry(uint64_t T, Mark M, const std::string &Value, const std::string &Note)
{
    auto It = Values.find(Value);
    if (It == Values.end() && Values.size() < 4) {
        It = Values.emplace(Value, Lane{}).first;
        It->second.B.resize(Bins);
    }
    if (It == Values.end()) {
        Add(T, M, Note);
        return;
    }
    // The value's lane stands in for the shared one while the mark is added.
    std::swap(Registry, It->second);
    Add(T, M, Note);
    std::swap(Registry, It->second);
}

void Timeline::SetState(std::vector<StateBin> &States, int &Current, uint64_t T, int Value,
                        const char *What)
{
    if (Value == Current)
        return;
    StateBin &B = States[BinOf(T)];
    if (B.Changes++ == 0)
        B.Note = TimeText(T) + " " + What + " " +
                 (Current < 0 ? std::string("unpublished") : std::to_string(Current)) + " -> " +
                 std::to_string(Value);
    B.Value = Value;
    Current = Value;
}

void Timeline::Status(uint64_t T, unsigned LinkState, unsigned FrameMode)
{
    FillTo(BinOf(T));
    SetState(Link, LinkNow, T, int(LinkState), "link");
    SetState(Mode, ModeNow, T, int(FrameMode), "mode");
}

void Timeline::Power(uint64_t T, unsigned State)
{
    FillTo(BinOf(T));
    SetState(PowerBand, PowerNow, T, int(State), "power");
}

void Timeline::Write(std::ostream &Out, const std::string &Title, uint64_t EndMs)
{
    FillTo(Bins - 1);
    const double BinWidth = PlotWidth / Bins;
    const double MarkWidth = std::max(BinWidth, 3.0);

    // The lanes, top to bottom.
    struct Row {
        std::string Label, Id;
        const Lane *Events = nullptr;
        const std::vector<StateBin> *State = nullptr;
        const char *StateWord = nullptr;
        std::string Rhythm = {}; // under the label
    };
    std::vector<Row> Rows;
    Rows.push_back({"notifications, connection", "connection", &Connection});
    Rows.push_back({"link state", "link", nullptr, &Link, "link"});
    Rows.push_back({"frame mode", "mode", nullptr, &Mode, "mode"});
    Rows.push_back({"plug and play", "pnp", &Pnp});
    for (auto &[Cmd, L] : Requests) {
        const char *Name = PeerCommandName(Cmd);
        Rows.push_back(
            {"request " + std::string(Name ? Name : "command") + " (" + std::to_string(Cmd) + ")",
             "request-" + std::to_string(Cmd), &L, nullptr, nullptr, RhythmText(L)});
    }
    for (auto &[Value, L] : Values)
        Rows.push_back({"registry " + Value, "registry-" + Value, &L});
    Rows.push_back(
        {Values.empty() ? "registry writes" : "registry, other values", "registry", &Registry});
    Rows.push_back({"control requests", "control", &Control});
    Rows.push_back({"power", "power", &PowerLane});
    Rows.push_back({"power state", "power-state", nullptr, &PowerBand, "power"});
    Rows.push_back({"display driver", "display", &DisplayLane});
    Rows.push_back({"expects, verifier", "verdicts", &Verdicts});

    const double LanesBottom = Top + double(Rows.size()) * (LaneHeight + LaneGap);
    const double AxisY = LanesBottom + 4;
    const double LegendY = AxisY + 40;
    // Four columns wide enough for the longest name, inside the picture.
    constexpr size_t LegendColumns = 4;
    const size_t LegendRows = (size_t(Mark::Count_) + LegendColumns) / LegendColumns;
    const double Height = LegendY + double(LegendRows) * 18 + 12;
    const double Width = LabelWidth + PlotWidth + RightMargin;

    Out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Fixed(Width) << "\" height=\""
        << Fixed(Height) << "\" viewBox=\"0 0 " << Fixed(Width) << " " << Fixed(Height)
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<title>" << XmlEscape(Title) << "</title>\n"
        << Rect(0, 0, Width, Height, "#ffffff") << "\n"
        << "<text x=\"10\" y=\"22\" font-size=\"16\" font-weight=\"bold\">" << XmlEscape(Title)
        << "</text>\n"
        << "<text x=\"10\" y=\"42\" fill=\"#444444\">virtual time 0 to " << TimeText(EndMs) << "; "
        << Bins << " bins of " << BinMs
        << " ms; hover over a mark for its counts and exact times</text>\n";

    for (size_t R = 0; R < Rows.size(); ++R) {
        const Row &Drawn = Rows[R];
        double Y = Top + double(R) * (LaneHeight + LaneGap);
        Out << "<g id=\"lane-" << Drawn.Id << "\" class=\"lane\">\n"
            << "<text x=\"" << Fixed(LabelWidth - 8)
            << "\" y=\""
            // A lane with a rhythm line under its label raises the label so
            // that the two do not overlap.
            << Fixed(Drawn.Rhythm.empty() ? Y + LaneHeight * 0.65 : Y + 11)
            << "\" text-anchor=\"end\">" << XmlEscape(Drawn.Label) << "</text>\n";
        if (!Drawn.Rhythm.empty())
            Out << "<text x=\"" << Fixed(LabelWidth - 8) << "\" y=\"" << Fixed(Y + LaneHeight - 2)
                << "\" text-anchor=\"end\" font-size=\"10\" fill=\"#555555\">" << Drawn.Rhythm
                << "</text>\n";
        Out << Rect(LabelWidth, Y, PlotWidth, LaneHeight, "#f7f7f7") << "\n";

        if (Drawn.State) {
            // Segments of one value; a bin in which the value changed is
            // marked with a dark tick and says what changed.
            const std::vector<StateBin> &S = *Drawn.State;
            size_t Start = 0;
            for (size_t I = 1; I <= S.size(); ++I) {
                if (I < S.size() && S[I].Value == S[Start].Value && S[I].Changes == 0)
                    continue;
                int V = S[Start].Value;
                double X = LabelWidth + double(Start) * BinWidth;
                double W = double(I - Start) * BinWidth;
                if (V >= 0) {
                    uint64_t From = Start * BinMs, To = std::min<uint64_t>(I * BinMs, EndMs);
                    Out << "<g><title>" << Drawn.StateWord << " " << V << " from about "
                        << TimeText(From) << " to " << TimeText(To) << "</title>"
                        << Rect(X, Y + 2, W, LaneHeight - 4,
                                StateColors[size_t(V) %
                                            (sizeof StateColors / sizeof StateColors[0])]);
                    if (W >= 48)
                        Out << "<text x=\"" << Fixed(X + 4) << "\" y=\""
                            << Fixed(Y + LaneHeight * 0.65) << "\">" << Drawn.StateWord << " " << V
                            << "</text>";
                    Out << "</g>\n";
                }
                Start = I;
            }
            for (size_t I = 0; I < S.size(); ++I) {
                if (!S[I].Changes)
                    continue;
                Out << "<g><title>" << XmlEscape(S[I].Note);
                if (S[I].Changes > 1)
                    Out << " (" << S[I].Changes << " changes in this bin, the first shown)";
                Out << "</title>"
                    << Rect(LabelWidth + double(I) * BinWidth, Y, std::max(BinWidth, 2.0),
                            LaneHeight, "#222222")
                    << "</g>\n";
            }
            Out << "</g>\n";
            continue;
        }

        const std::vector<Bin> &B = Drawn.Events->B;
        uint64_t Most = 1;
        for (const Bin &Each : B) {
            uint64_t N = 0;
            for (uint64_t C : Each.Counts)
                N += C;
            Most = std::max(Most, N);
        }
        for (size_t I = 0; I < B.size(); ++I) {
            const Bin &Each = B[I];
            uint64_t Total = 0;
            for (uint64_t C : Each.Counts)
                Total += C;
            if (Total == 0 && Each.Outstanding == 0)
                continue;
            double X = LabelWidth + double(I) * BinWidth;
            Out << "<g><title>" << XmlEscape(Drawn.Label) << ", ";
            if (Total)
                Out << TimeText(Each.First)
                    << (Each.Last != Each.First ? " to " + TimeText(Each.Last) : "") << ":";
            else
                Out << "about " << TimeText(I * BinMs) << ":";
            bool First = true;
            for (size_t M = 0; M < size_t(Mark::Count_); ++M) {
                if (!Each.Counts[M])
                    continue;
                Out << (First ? " " : ", ") << Each.Counts[M] << " " << Styles[M].Name;
                First = false;
            }
            if (Each.Outstanding)
                Out << (First ? " " : ", ") << "up to " << Each.Outstanding << " outstanding";
            if (!Each.Note.empty())
                Out << "; " << XmlEscape(Each.Note);
            Out << "</title>";
            if (Each.Outstanding)
                Out << Rect(X, Y, BinWidth, LaneHeight, "#f5d76e");
            // One bar for the bin, its height the bin's share of the busiest
            // bin, its colour that of what matters most in it.
            Mark Main = Mark::Count_;
            for (Mark M : {Mark::Finding,
                           Mark::ExpectFailed,
                           Mark::RegRefused,
                           Mark::RegChange,
                           Mark::SentFailed,
                           Mark::NotBuilt,
                           Mark::SentPending,
                           Mark::Sent,
                           Mark::Removal,
                           Mark::OpenFailed,
                           Mark::Release,
                           Mark::Arrival,
                           Mark::Open,
                           Mark::OtherNotify,
                           Mark::Boot,
                           Mark::IoctlRefused,
                           Mark::IoctlOk,
                           Mark::Power,
                           Mark::DisplayFailed,
                           Mark::DisplayFile,
                           Mark::DisplayPrivate,
                           Mark::DisplayOff,
                           Mark::Escape,
                           Mark::ExpectHeld,
                           Mark::PnpSurprise,
                           Mark::PnpRemove,
                           Mark::PnpCancelled,
                           Mark::PnpQueryRemove,
                           Mark::PnpRemoveComplete,
                           Mark::PnpUnregister,
                           Mark::PnpRegister,
                           Mark::PnpAdd,
                           Mark::PnpOther,
                           Mark::RegRewrite})
                if (Main == Mark::Count_ && Each.Counts[size_t(M)])
                    Main = M;
            uint64_t Bar = Total - Each.Counts[size_t(Mark::Completed)] -
                           Each.Counts[size_t(Mark::CompletedFailed)] -
                           Each.Counts[size_t(Mark::Busy)];
            if (Main != Mark::Count_ && Bar) {
                double H = LaneHeight * (0.35 + 0.65 * double(Total) / double(Most));
                if (Main == Mark::RegChange || Main == Mark::Finding ||
                    Main == Mark::ExpectFailed || Main == Mark::RegRefused)
                    H = LaneHeight;
                Out << Rect(X, Y + LaneHeight - H, MarkWidth, H, Styles[size_t(Main)].Color);
            }
            if (Each.Counts[size_t(Mark::Completed)])
                Out << Rect(X, Y, MarkWidth, LaneHeight * 0.3,
                            Styles[size_t(Mark::Completed)].Color);
            // A failed completion over the plain one: it is what matters.
            if (Each.Counts[size_t(Mark::CompletedFailed)])
                Out << Rect(X, Y, MarkWidth, LaneHeight * 0.3,
                            Styles[size_t(Mark::CompletedFailed)].Color);
            if (Each.Counts[size_t(Mark::Busy)])
                Out << Rect(X, Y + LaneHeight * 0.7, MarkWidth, LaneHeight * 0.3,
                            Styles[size_t(Mark::Busy)].Color);
            Out << "</g>\n";
        }
        Out << "</g>\n";
    }

    // The time axis.
    uint64_t Step = AxisStep(Length);
    Out << "<g id=\"axis\"><line x1=\"" << Fixed(LabelWidth) << "\" y1=\"" << Fixed(AxisY)
        << "\" x2=\"" << Fixed(LabelWidth + PlotWidth) << "\" y2=\"" << Fixed(AxisY)
        << "\" stroke=\"#000000\"/>\n";
    for (uint64_t T = 0; T <= Length; T += Step) {
        double X = LabelWidth + PlotWidth * double(T) / double(Bins * BinMs);
        Out << "<line x1=\"" << Fixed(X) << "\" y1=\"" << Fixed(AxisY) << "\" x2=\"" << Fixed(X)
            << "\" y2=\"" << Fixed(AxisY + 5) << "\" stroke=\"#000000\"/><text x=\"" << Fixed(X)
            << "\" y=\"" << Fixed(AxisY + 18) << "\" text-anchor=\"middle\">" << AxisText(T)
            << "</text>\n";
    }
    Out << "</g>\n";

    // The legend: every mark's colour, and the outstanding band.
    Out << "<g id=\"legend\">\n";
    for (size_t M = 0; M <= size_t(Mark::Count_); ++M) {
        double X = 10 + double(M % LegendColumns) * 300;
        double Y = LegendY + double(M / LegendColumns) * 18;
        const char *Color = M < size_t(Mark::Count_) ? Styles[M].Color : "#f5d76e";
        const char *Name = M < size_t(Mark::Count_) ? Styles[M].Name : "request outstanding";
        Out << Rect(X, Y - 10, 12, 12, Color) << "<text x=\"" << Fixed(X + 18) << "\" y=\""
            << Fixed(Y) << "\">" << Name << "</text>\n";
    }
    Out << "</g>\n</svg>\n";
}

} // namespace kvrsim

// The status page: self-contained, escaped, the same figures as the call
// record's formats, and the plot's lines as the history gives them.

#include "metrics/status_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <regex>

#include "status_page_test_data.h"

namespace {

using namespace std::chrono;
using StatusPageTest::FullSnapshot;

size_t Count(const std::string& Text, const std::string& What) {
  size_t N = 0;
  for (size_t Pos = Text.find(What); Pos != std::string::npos; Pos = Text.find(What, Pos + 1)) ++N;
  return N;
}

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(), [](unsigned char C) { return std::tolower(C); });
  return Text;
}

// The points of each polyline of one colour, as counts of coordinate pairs.
std::vector<size_t> PolylinePoints(const std::string& Page, const std::string& Colour) {
  std::vector<size_t> Result;
  const std::string Head = "stroke=\"" + Colour + "\" points=\"";
  for (size_t Pos = Page.find(Head); Pos != std::string::npos; Pos = Page.find(Head, Pos + 1)) {
    const size_t Start = Pos + Head.size();
    Result.push_back(Count(Page.substr(Start, Page.find('"', Start) - Start), ","));
  }
  return Result;
}

TEST(StatusPage, SelfContainedAndEveryTextEscaped) {
  const std::string Page = RenderStatusPage(FullSnapshot());
  EXPECT_EQ(Page.rfind("<!DOCTYPE html>\n", 0), 0u);
  EXPECT_NE(Page.find("<meta http-equiv=\"refresh\" content=\"5\">"), std::string::npos);
  EXPECT_EQ(Page.substr(Page.size() - 8), "</html>\n");
  // Nothing runs and nothing is fetched: no script, no address, no external
  // style, image or font.
  const std::string L = Lower(Page);
  for (const char* Banned : {"<script", "http://", "https://", "//", "src=", "href=", "url(", "@import", "<link",
                             "<img", "<iframe", "<object", "<embed"})
    EXPECT_EQ(Count(L, Banned), 0u) << Banned;
  EXPECT_FALSE(std::regex_search(L, std::regex("\\son[a-z]+\\s*="))) << "an event handler";
  // Version, microphone, earpiece, the peer now and the first record's peer.
  const std::string Escaped = "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;Mic&#39;";
  EXPECT_EQ(Count(Page, Escaped), 5u);
  EXPECT_EQ(Count(Page, "<td>" + Escaped + ":5004</td>"), 2u);
}

TEST(StatusPage, FiguresInTheRecordsFormatsWithIds) {
  const TStatusSnapshot S = FullSnapshot();
  const std::string Page = RenderStatusPage(S);
  for (const char* Figure : {"id=\"rx_loss\">1.25<", "id=\"rx_jitter\">3.1<", "id=\"concealed\">0.80<",
                             "id=\"delay\">41.0<", "id=\"tx_loss\">-<", "id=\"rtt\">12.0<", "id=\"r\">93.2<",
                             "id=\"mos\">4.41<", "id=\"session\" class=\"ok\">running<",
                             "id=\"capture\" class=\"ok\">open<", "id=\"playback\" class=\"bad\">stalled<"})
    EXPECT_EQ(Count(Page, Figure), 1u) << Figure;
  EXPECT_NE(Page.find("Version "), std::string::npos);
  EXPECT_NE(Page.find("up 1 d 01:01:01 &middot; 2024-05-01 10:15:00 UTC"), std::string::npos);
  EXPECT_NE(Page.find("<td>0x00C0FFEE</td><td>2024-05-01 10:00:00</td>"), std::string::npos);
  EXPECT_NE(Page.find("<td>192.0.2.9:6000</td><td>-</td>"), std::string::npos);  // no SSRC yet
  // The newest 20 records, as the record's line has them; the rest are left out.
  for (size_t I = 0; I < S.Records.size(); ++I)
    EXPECT_EQ(Count(Page, ">10.0.1." + std::to_string(I) + ":5004<"), I < 20 && I > 0 ? 1u : 0u) << I;
  EXPECT_NE(Page.find("<td>2024-05-01 09:00:01</td><td>10.0.1.1:5004</td><td class=\"n\">61.5</td>"
                      "<td class=\"n\">2.00</td><td class=\"n\">-</td>"),
            std::string::npos);
  EXPECT_EQ(Count(Page, "score without network delay"), 19u);
}

TEST(StatusPage, RendersWithoutCallHistoryOrPeers) {
  TStatusSnapshot S;
  S.SessionState = "stopped";
  const std::string Page = RenderStatusPage(S);
  for (const char* Text : {"No peer.", "No call.", "No call in the last 15 minutes.", "No call has ended yet.",
                           "id=\"session\" class=\"bad\">stopped<", "id=\"capture\" class=\"bad\">unknown<"})
    EXPECT_EQ(Count(Page, Text), 1u) << Text;
  EXPECT_EQ(Count(Page, "<span class=\"muted\">not known</span>"), 2u);  // both devices' names
  EXPECT_EQ(Count(Page, "id=\"mos\""), 0u);  // absent while no call runs
  EXPECT_EQ(Count(Page, "<polyline"), 0u);
  EXPECT_EQ(Count(Page, "<rect"), 3u);  // the three panels, empty
}

TEST(StatusPage, NinetyPointsMakeOneLinePerSeries) {
  TStatusSnapshot S = FullSnapshot();  // 100 windows: 9 older than 15 minutes, then one too many
  const std::string Page = RenderStatusPage(S);
  EXPECT_EQ(Count(Page, "<polyline"), 3u);
  for (const char* Colour : {"#1f5fbf", "#b00020", "#c06000"})
    EXPECT_EQ(PolylinePoints(Page, Colour), std::vector<size_t>{90}) << Colour;
  // Time runs left to right to now at the right edge; MOS 1 to 5 bottom to top.
  EXPECT_NE(Page.find("points=\"55.3,"), std::string::npos);
  EXPECT_NE(Page.find(" 708.0,20.0\"/>"), std::string::npos);  // the last MOS: 5.0 at the top
}

TEST(StatusPage, GapsBreakTheLines) {
  TStatusSnapshot S;
  S.Now = sys_days{year{2024} / 5 / 1} + hours{10};
  for (int I = 0; I < 10; ++I) {
    TStatusPoint P;
    P.Time = S.Now - seconds{10 * (10 - I)} - (I < 8 ? seconds{60} : seconds{0});  // a minute apart after the 8th
    if (I != 4) P.Mos = 4.0;                  // a window without a score
    P.LossPercent = 0.5 * I;
    if (I == 6) P.JitterMs = 7;               // a lone point
    S.History.push_back(P);
  }
  const std::string Page = RenderStatusPage(S);
  EXPECT_EQ(PolylinePoints(Page, "#1f5fbf"), (std::vector<size_t>{4, 3, 2}));
  EXPECT_EQ(PolylinePoints(Page, "#b00020"), (std::vector<size_t>{8, 2}));
  EXPECT_EQ(PolylinePoints(Page, "#c06000"), std::vector<size_t>{});
  EXPECT_EQ(Count(Page, "fill=\"#c06000\""), 1u);
  // Loss up to 4.5 %: the scale rounds up to 5, its middle tick 2.5.
  EXPECT_EQ(Count(Page, ">2.5</text>"), 1u);
}

TEST(StatusPage, HtmlEscapeKeepsUtf8AndReplacesTheRest) {
  EXPECT_EQ(HtmlEscape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(HtmlEscape("Гарнитура \xf0\x9f\x8e\xa7\tok\r\n"), "Гарнитура \xf0\x9f\x8e\xa7\tok\r\n");
  // A code-page byte, a control character, DEL, a cut sequence.
  EXPECT_EQ(HtmlEscape("\xcc\x01\x7f\xe2\x82"), "&#xFFFD;&#xFFFD;&#xFFFD;&#xFFFD;&#xFFFD;");
}

}  // namespace

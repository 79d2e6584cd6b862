// The status page in a real browser: headless Chromium must parse it into a
// DOM that holds the figures by their ids and no script, and draw it. Skipped,
// saying why, where Chromium is not installed (scripts/install-deps.sh
// installs it).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "metrics/status_page.h"
#include "status_page_test_data.h"
#include "test_support.h"

namespace {

using TestSupport::ReadFile;

TEST(StatusPageChromium, ParsesAndDrawsThePage) {
  if (std::system("command -v chromium > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "chromium is not installed: apt-get install chromium";
  TestSupport::TTempDir Dir;
  const auto Page = Dir.Path() / "status.html";
  const auto Dom = Dir.Path() / "dom.html";
  const auto Err = Dir.Path() / "stderr.txt";
  // Kept after the test, for a person to look at.
  const std::string Shot = (std::filesystem::temp_directory_path() / "brenvic_status_page.png").string();
  std::filesystem::remove(Shot);
  TestSupport::WriteFile(Page, RenderStatusPage(StatusPageTest::FullSnapshot()));

  const std::string Browser = "chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage "
                              "--user-data-dir='" + (Dir.Path() / "profile").string() + "' ";
  const std::string Url = " 'file://" + Page.string() + "'";
  ASSERT_EQ(std::system((Browser + "--dump-dom" + Url + " > '" + Dom.string() + "' 2> '" + Err.string() + "'").c_str()), 0)
      << ReadFile(Err);
  const std::string Parsed = ReadFile(Dom);
  for (const char* Figure : {"id=\"mos\">4.41</td>", "id=\"r\">93.2</td>", "id=\"rx_loss\">1.25</td>",
                             "id=\"rtt\">12.0</td>", "id=\"session\" class=\"ok\">running</td>"})
    EXPECT_NE(Parsed.find(Figure), std::string::npos) << Figure << "\n" << Parsed;
  // The hostile names stayed text, and the plot is SVG with its three lines.
  EXPECT_EQ(Parsed.find("<script"), std::string::npos);
  EXPECT_NE(Parsed.find("&lt;script&gt;alert(\"x\")&lt;/script&gt; &amp; 'Mic'"), std::string::npos);
  EXPECT_NE(Parsed.find("<svg role=\"img\""), std::string::npos);

  ASSERT_EQ(std::system((Browser + "--hide-scrollbars --window-size=1280,1600 --screenshot='" + Shot + "'" + Url +
                         " > /dev/null 2> '" + Err.string() + "'")
                            .c_str()),
            0)
      << ReadFile(Err);
  const std::string Png = ReadFile(Shot);
  EXPECT_EQ(Png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_GT(Png.size(), 20000u) << "a blank page?";
  std::printf("The page as drawn: %s\n", Shot.c_str());
}

}  // namespace

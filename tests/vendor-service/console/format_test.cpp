// The console's neutral pieces: Spanish numbers, times in a zone, and the SVG charts.
#include <gtest/gtest.h>

#include "console/spanish_format.h"
#include "console/svg_chart.h"
#include "console/time_zone.h"

TEST(SpanishFormat, NumbersNounsDurationsStatusesAndWindows) {
    EXPECT_EQ(SpanishCount(55700) + " " + SpanishCount(2711) + " " + SpanishCount(999) + " " + SpanishCount(-1234567),
              "55.700 2.711 999 -1.234.567");
    EXPECT_EQ(SpanishDecimal(1234.5, 1), "1.234,5");
    EXPECT_EQ(SpanishPercent(0.5549) + " " + SpanishPercent(30), "0,55 % 30,0 %");
    EXPECT_EQ(ShareOf(15, 2711) + " " + ShareOf(1, 0), "0,55 % —");
    EXPECT_EQ(Counted(1, "instalación", "instalaciones") + ", " + Counted(2711, "instalación", "instalaciones"),
              "1 instalación, 2.711 instalaciones");
    EXPECT_EQ(SpanishDuration(20) + " | " + SpanishDuration(240 * 60) + " | " + SpanishDuration(90 * 60),
              "20 s | 4 h | 1 h 30 min");
    EXPECT_EQ(StatusWords("EN_CURSO") + ", " + StatusWords("DETENIDO"), "En curso, Detenido");
    EXPECT_EQ(WindowsName("10.0.19045") + ", " + WindowsName("10.0.22631") + ", " + WindowsName("<b>"),
              "Windows 10 22H2, Windows 11 23H2, <b>");
}

TEST(TimeZones, TimesInTheOperatorsZoneWithSummerTime) {
    const auto madrid = ZoneNamed("Europe/Madrid");
    ASSERT_EQ(madrid->name, "Europe/Madrid");
    int64_t winter = 0, summer = 0;
    ASSERT_TRUE(ParseUtcText("2026-12-09T15:41:03Z", winter));
    ASSERT_TRUE(ParseUtcText("2026-07-01T23:30:00Z", summer));
    EXPECT_EQ(SpanishTime(*madrid, winter), "09/12/2026 16:41");
    EXPECT_EQ(SpanishTime(*madrid, summer), "02/07/2026 01:30");
    EXPECT_EQ(ToLocal(*madrid, summer).abbreviation, "CEST");
    EXPECT_EQ(UtcTitle(winter), "2026-12-09 15:41:03 UTC");
    // Names that are not a zone's are UTC, and never a path out of the zone files.
    EXPECT_FALSE(IsZoneName("../../etc/passwd"));
    EXPECT_EQ(ZoneNamed("../../etc/passwd")->name, "UTC");
    EXPECT_FALSE(ParseUtcText("2026-12-09 15:41:03", winter));
}

TEST(SvgChart, BarsAndLinesCarryTheirValues) {
    EXPECT_EQ(RoundUpScale(8), 10);
    EXPECT_EQ(RoundUpScale(0.3), 0.5);
    EXPECT_EQ(RoundUpScale(2711), 5000);
    ChartData bars;
    bars.title = "Fallos <b>";
    bars.values = {3, 8, 0, 5};
    bars.xLabels = {"16:00", "", "", "19:00"};
    bars.xTitles = {"09/12 16:00", "09/12 17:00", "09/12 18:00", "09/12 19:00"};
    const std::string svg = ChartSvg(bars);
    EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 640 200\" role=\"img\" "
                        "aria-label=\"Fallos &lt;b&gt;\"><title>Fallos &lt;b&gt;</title>",
                        0),
              0u);
    EXPECT_NE(svg.find("<rect x=\"70.4\" y=\"123.4\" width=\"115.2\" height=\"48.6\" fill=\"#0b5cad\">"
                       "<title>09/12 16:00: 3</title></rect>"),
              std::string::npos)
        << svg;
    EXPECT_NE(svg.find("<rect x=\"214.4\" y=\"42.4\" width=\"115.2\" height=\"129.6\""), std::string::npos);
    EXPECT_NE(svg.find(">10</text>"), std::string::npos);  // the scale's top
    EXPECT_NE(svg.find(">19:00</text>"), std::string::npos);
    EXPECT_EQ(svg.find(">17:00</text>"), std::string::npos);

    ChartData line;
    line.line = true;
    line.values = {1, 2};
    line.format = [](double value) { return SpanishCount(static_cast<long long>(value * 1000)); };
    const std::string drawn = ChartSvg(line);
    EXPECT_NE(drawn.find("<polyline points=\"200.0,91.0 488.0,10.0\""), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("<title>2.000</title></circle>"), std::string::npos);

    // Counts: a scale of whole numbers however small the largest.
    ChartData counts;
    counts.whole = true;
    counts.values = {0, 1};
    const std::string few = ChartSvg(counts);
    std::string scale;
    for (size_t at = few.find("text-anchor=\"end\""); at != std::string::npos; at = few.find("text-anchor=\"end\"", at + 1)) {
        const size_t open = few.find('>', at) + 1;
        scale += few.substr(open, few.find('<', open) - open) + " ";
    }
    EXPECT_EQ(scale, "0 1 2 3 4 ");
}

#include "console/svg_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "console/html.h"

namespace {

// The plot's box inside the chart: room on the left for the scale, below for the labels.
constexpr double Left = 56, Right = 8, Top = 10, Bottom = 28;
constexpr int GridLines = 4;

std::string Fixed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string Written(const ChartData& chart, double value) {
    if (chart.format) return chart.format(value);
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string Tooltip(const ChartData& chart, size_t i) {
    const std::string when = i < chart.xTitles.size() ? chart.xTitles[i] : std::string();
    return "<title>" + Html(when + (when.empty() ? "" : ": ") + Written(chart, chart.values[i])) + "</title>";
}

}  // namespace

double RoundUpScale(double value) {
    if (!(value > 0)) return 1;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double step : {1.0, 2.0, 5.0, 10.0}) {
        if (step * power >= value - 1e-9 * power) return step * power;
    }
    return 10 * power;
}

std::string ChartSvg(const ChartData& chart) {
    const double width = ChartWidth - Left - Right;
    const double height = ChartHeight - Top - Bottom;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + std::to_string(ChartWidth) + " " +
                      std::to_string(ChartHeight) + "\" role=\"img\" aria-label=\"" + Html(chart.title) + "\"><title>" +
                      Html(chart.title) + "</title>";
    const size_t count = chart.values.size();
    double top = RoundUpScale(count == 0 ? 0 : *std::max_element(chart.values.begin(), chart.values.end()));
    if (chart.whole) top = std::ceil(top / GridLines) * GridLines;  // 1 -> 4, 10 -> 12: no "0,25 instalaciones"
    for (int g = 0; g <= GridLines; ++g) {
        const double y = Top + height - height * g / GridLines;
        svg += "<line x1=\"" + Fixed(Left) + "\" y1=\"" + Fixed(y) + "\" x2=\"" + Fixed(Left + width) + "\" y2=\"" +
               Fixed(y) + "\" stroke=\"#dde3ec\" stroke-width=\"1\"/><text x=\"" + Fixed(Left - 6) + "\" y=\"" +
               Fixed(y + 4) + "\" font-size=\"11\" text-anchor=\"end\" fill=\"#4a5568\">" +
               Html(Written(chart, top * g / GridLines)) + "</text>";
    }
    if (count == 0) return svg + "</svg>";
    const double slot = width / static_cast<double>(count);
    const auto yOf = [&](double value) { return Top + height - height * value / top; };
    std::string points, marks;
    for (size_t i = 0; i < count; ++i) {
        const double x = Left + slot * static_cast<double>(i);
        const double value = chart.values[i];
        if (chart.line) {
            const double cx = x + slot / 2;
            points += (points.empty() ? "" : " ") + Fixed(cx) + "," + Fixed(yOf(value));
            marks += "<circle cx=\"" + Fixed(cx) + "\" cy=\"" + Fixed(yOf(value)) + "\" r=\"2.5\" fill=\"" +
                   Html(chart.color) + "\">" + Tooltip(chart, i) + "</circle>";
        } else {
            const double barHeight = height * value / top;
            marks += "<rect x=\"" + Fixed(x + slot * 0.1) + "\" y=\"" + Fixed(Top + height - barHeight) + "\" width=\"" +
                   Fixed(slot * 0.8) + "\" height=\"" + Fixed(barHeight) + "\" fill=\"" + Html(chart.color) + "\">" +
                   Tooltip(chart, i) + "</rect>";
        }
        if (i < chart.xLabels.size() && !chart.xLabels[i].empty()) {
            svg += "<text x=\"" + Fixed(x + slot / 2) + "\" y=\"" + Fixed(ChartHeight - 8) +
                   "\" font-size=\"11\" text-anchor=\"middle\" fill=\"#4a5568\">" + Html(chart.xLabels[i]) + "</text>";
        }
    }
    if (chart.line) {
        svg += "<polyline points=\"" + points + "\" fill=\"none\" stroke=\"" + Html(chart.color) +
               "\" stroke-width=\"2\"/>";
    }
    return svg + marks + "</svg>";
}

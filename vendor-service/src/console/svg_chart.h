// Charts as SVG drawn on the server: a page needs no script to show them,
// and every number is in the markup (each bar and point carries its value
// as a tooltip). Bars for counts per interval, a line for a running total.
#pragma once
#include <functional>
#include <string>
#include <vector>

struct ChartData {
    std::string title;                  // read by screen readers, and the tooltip's first words
    std::vector<std::string> xLabels;   // one per point; empty ones are not drawn
    std::vector<std::string> xTitles;   // one per point: what a tooltip says of it ("09/12 16:00")
    std::vector<double> values;
    bool line = false;                  // a line through the points, else bars
    bool whole = false;                 // counts: the scale's lines fall on whole numbers
    std::string color = "#0b5cad";
    // How a value is written on the axis and in the tooltips.
    std::function<std::string(double)> format = nullptr;
};

inline constexpr int ChartWidth = 640;
inline constexpr int ChartHeight = 200;

// The smallest of 1, 2 or 5 times a power of ten at or above `value` (1 for 0).
double RoundUpScale(double value);

std::string ChartSvg(const ChartData& chart);

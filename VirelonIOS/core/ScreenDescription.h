#pragma once

// The screen's description: what to show, built afresh from the state after every update. A
// host draws it; it holds no state of its own. Texts named `...Key` are translatable keys; all
// other texts are shown exactly as they stand.

#include "runtime/Runtime.h"

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace virelon::ui {

/// A label with a value beside it; not interactive.
struct LabeledRow {
    std::string labelKey;
    std::string value;
};

/// One line of text. The status line is verbatim; the explanatory texts are keys.
struct TextRow {
    std::string text;
    bool translatable = true;
    bool isStatus = false;
};

struct ButtonRow {
    std::string titleKey;
    std::function<void()> action;
};

struct PickerItem {
    std::string tag;         ///< the voice's identifier
    std::string displayName; ///< verbatim
};

struct PickerRow {
    std::string titleKey;
    std::vector<PickerItem> items;
    Binding<std::string> selection;
    bool disabled = false;
};

/// A whole-percentage slider: its position is a double on a grid of `step`.
struct SliderRow {
    std::string title; ///< verbatim
    Binding<double> value;
    double lowerBound = 0.0;
    double upperBound = 100.0;
    double step = 1.0;
    std::string accessibilityValueKey; ///< has one "%lld" placeholder
    std::int64_t accessibilityValueArgument = 0;
};

using Row = std::variant<LabeledRow, TextRow, ButtonRow, PickerRow, SliderRow>;

struct Section {
    std::string titleKey;
    std::vector<Row> rows;
};

struct ScreenDescription {
    std::string navigationTitleKey;
    std::vector<Section> sections;
};

/// The accessibility value text of a slider: the (translated) key with its number put in.
std::string formatPercent(std::string_view key, std::int64_t value);

/// The slider's write rule: the nearest whole number, halves away from zero.
std::int64_t roundHalfAwayFromZero(double value);

} // namespace virelon::ui

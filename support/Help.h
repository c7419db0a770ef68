#pragma once
// The usage note of the Help button and the online help page it offers.
#include <QString>

namespace Help {

inline constexpr const char* kHelpPageAddress = "http://www.quillmoor.example/fetchwright/help/";

// Paragraphs are separated by CR CR, lines inside a paragraph by CR LF.
QString UsageNote();

}  // namespace Help

#pragma once

// Messages of the image-source loaders and the imaging library adapter.
namespace tessel::msg {

// Failure of a bitmap call: "Error reading <file name>: <status name>".
inline constexpr char kImagingError[] = "Error %s %s: %s";
inline constexpr char kImagingReading[] = "reading";

// Status names of the imaging library, by status number.
inline constexpr const char* kStatusNames[] = {
    "Ok",
    "Generic Error",
    "Invalid Parameter",
    "Out Of Memory",
    "Object Busy",
    "Insufficient Buffer",
    "Not Implemented",
    "Win32 Error",
    "Wrong State",
    "Aborted",
    "File Not Found",
    "Value Overflow",
    "Access Denied",
    "Unknown Image Format",
    "Font Family Not Found",
    "Font Style Not Found",
    "Not True Type Font",
    "Unsupported Gdiplus Version",
    "Gdiplus Not Initialized",
    "Property Not Found",
    "Property Not Supported",
};
inline constexpr char kUnknownStatus[] = "(Unknown Code)";

}  // namespace tessel::msg

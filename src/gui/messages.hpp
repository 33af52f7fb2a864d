// Texts the viewer shows its user, each with its readable form beside it.
#pragma once

namespace gui::messages {

inline const char* const kWindowTitle = "Trailmere";
inline const char* const kDialogTitle = u8"\u9078\u64c7\u6a94\u6848";  // 選擇檔案
inline const char* const kAllFiles = u8"\u6240\u6709\u6a94\u6848";     // 所有檔案

// Why a file the viewer was given draws nothing, printed as "<path>: <reason>".
inline const char* const kFolder = "a folder, not a GPX file";
inline const char* const kNotGpxName = "not a .gpx file, it will not be drawn";
inline const char* const kCannotRead = "cannot be read: ";
inline const char* const kNotGpx = "not a GPX file: ";
inline const char* const kOnlyRoutes = "no track to draw (the file holds only routes or waypoints)";
inline const char* const kNothingAtAll = "no track to draw (the file holds no tracks, routes or waypoints)";
inline const char* const kNoSegments = "no track to draw (its tracks have no segments)";
inline const char* const kEmptySegment = "the first track segment has no points";

}  // namespace gui::messages

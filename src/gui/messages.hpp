// Texts the viewer shows its user, each with its readable form beside it.
#pragma once

namespace gui::messages {

inline const char* const kWindowTitle = "Trailmere";
inline const char* const kDialogTitle = u8"\u9078\u64c7\u6a94\u6848";  // 選擇檔案
inline const char* const kAllFiles = u8"\u6240\u6709\u6a94\u6848";     // 所有檔案

}  // namespace gui::messages

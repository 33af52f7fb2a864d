// Texts the filler prints, raises or writes into a document, each with its
// readable form beside it. English errors built around the file or value
// they name stay beside the code that builds them.
#pragma once

namespace scrivet::messages {

// run_version with a name never given to set_word_version_path:
// word的檔案格式名稱並沒有定義
inline const char* const kNoSuchVersion =
    u8"word\u7684\u6a94\u6848\u683c\u5f0f\u540d\u7a31\u4e26\u6c92\u6709\u5b9a\u7fa9";
// output, before the PDF's path: "[完成！] "
inline const char* const kDone = u8"[\u5b8c\u6210\uff01] ";

// execute_set, before the error of a picture it could not place:
// "execute_set設定照片錯誤 --> "
inline const char* const kFillPictureError = u8"execute_set\u8a2d\u5b9a\u7167\u7247\u932f\u8aa4 --> ";
// execute_set, a table it cannot read: "execute_set無法讀取表格，略過 --> 第" N "個表格: " error
inline const char* const kTableSkipped = u8"execute_set\u7121\u6cd5\u8b80\u53d6\u8868\u683c\uff0c\u7565\u904e --> \u7b2c";
inline const char* const kTableNumbered = u8"\u500b\u8868\u683c: ";

// _add_table without the "Table Grid" style: 無法設定格線
inline const char* const kNoGrid = u8"\u7121\u6cd5\u8a2d\u5b9a\u683c\u7dda";
// _add_table, a figure it could not insert: 插入圖片錯誤
inline const char* const kTablePictureError = u8"\u63d2\u5165\u5716\u7247\u932f\u8aa4";
// _add_table's headings: 專利編號, 專利名稱, 關聯性, and "摘要：\n" before the abstract
inline const char* const kPatentNumber = u8"\u5c08\u5229\u7de8\u865f";
inline const char* const kPatentName = u8"\u5c08\u5229\u540d\u7a31";
inline const char* const kRelevance = u8"\u95dc\u806f\u6027";
inline const char* const kAbstract = u8"\u6458\u8981\uff1a\n";

// The heading of a template's list of reference signs, where
// show_execute_set(specify_range=True) stops looking: 【符號說明】
inline const char* const kSymbolHeading = u8"\u3010\u7b26\u865f\u8aaa\u660e\u3011";

// set's East Asian font when the caller names none: 標楷體
inline const char* const kDefaultFontChinese = u8"\u6a19\u6977\u9ad4";

// The Folioprint sibling looked up from a module that has no package.
inline const char* const kNoParentPackage = "attempted relative import with no known parent package";

}  // namespace scrivet::messages

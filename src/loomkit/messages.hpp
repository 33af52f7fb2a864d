// Texts the kit prints or raises, each with its readable form beside it.
#pragma once

namespace loomkit::messages {

// 按鈕沒有定義觸發環境
inline const char* const kNoHandler = u8"\u6309\u9215\u6c92\u6709\u5b9a\u7fa9\u89f8\u767c\u74b0\u5883";
// 輸入的月份錯誤 month = 
inline const char* const kBadMonth = u8"\u8f38\u5165\u7684\u6708\u4efd\u932f\u8aa4 month = ";

}  // namespace loomkit::messages

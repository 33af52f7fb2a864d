#include "gui/gui.hpp"

namespace gui {

namespace {

void init(py::object self) {
    py::dict parameters;
    parameters[u8"\u986f\u793a\u514d\u7528\u7d71\u4e00\u767c\u7968\u7ae0"] = false;  // 顯示免用統一發票章
    parameters[u8"\u986f\u793a\u8ca0\u8cac\u4eba\u7ae0"] = false;                    // 顯示負責人章
    parameters[u8"\u986f\u793a\u65e5\u671f"] = true;                                 // 顯示日期
    parameters[u8"\u6587\u5b57\u5927\u5c0f\u6bd4\u4f8b"] = 1;                        // 文字大小比例
    parameters[u8"\u4e2d\u6587\u6587\u5b57\u5b57\u9ad4"] = u8"\u6a19\u6977\u9ad4";  // 中文文字字體: 標楷體
    parameters[u8"\u82f1\u6587\u6587\u5b57\u5b57\u9ad4"] = "Calibri";                // 英文文字字體
    parameters[u8"\u5206\u6790\u6700\u63a5\u8fd1\u5c08\u5229\u6578\u91cf"] = 5;      // 分析最接近專利數量
    self.attr("parameters") = parameters;
}

}  // namespace

py::object make_parameters() {
    py::object cls = glue::make_class(module(), "Parameters", "Parameters", py::tuple(),
                                      "The viewer's settings, one object per run.");
    glue::def_init(cls, &init);
    return cls;
}

}  // namespace gui

#include "loomkit/loomkit.hpp"
#include "glue/look.hpp"

namespace loomkit {
namespace {

void init(py::object self, py::object frame) {
    // The plotting libraries load with the first chart, not with the kit.
    self.attr("Figure") = glue::import_from("matplotlib.figure", "Figure");
    self.attr("np") = glue::import_module("numpy");
    self.attr("FigureCanvasTkAgg") = glue::import_from("matplotlib.backends.backend_tkagg", "FigureCanvasTkAgg");
    self.attr("frame") = frame;
    self.attr("canvas") = py::dict();
    self.attr("fig") = py::dict();
    self.attr("ax") = py::dict();
    self.attr("row") = 0;
    self.attr("row_name") = py::dict();
    self.attr("invert_xaxis") = py::dict();
    self.attr("ylim") = py::dict();
}

// Figure size in inches: pixels (or the frame's configured size) over dpi.
py::tuple size_in_inches(const py::object& self, const py::object& Lx, const py::object& Ly, const py::object& dpi) {
    py::object frame = self.attr("frame");
    py::object width = glue::equals_none(Lx) ? frame.attr("cget")("width") : Lx;
    py::object height = glue::equals_none(Ly) ? frame.attr("cget")("height") : Ly;
    return py::make_tuple(width / dpi, height / dpi);
}

// When exactly one end of y is missing, four invisible points keep the x
// range spanning the whole of x.
void corner_markers(const py::object& self, const py::object& ax, const py::object& x, const py::object& y) {
    if (py::len(y) == 0) return;
    py::object isnan = self.attr("np").attr("isnan");
    py::object first = y[py::int_(0)], last = y[py::int_(-1)];
    if (glue::truthy(isnan(first)) == glue::truthy(isnan(last))) return;
    py::object x0 = x[py::int_(0)], x1 = x[py::int_(-1)];
    auto point = [&](const py::object& px, const py::object& py_) {
        py::list xs, ys;
        xs.append(px);
        ys.append(py_);
        ax.attr("scatter")(xs, ys, "s"_a = 1, "alpha"_a = 0);
    };
    point(x0, last);
    point(x1, last);
    point(x0, first);
    point(x1, first);
}

void finish_axes(const py::object& self, const py::object& ax, const py::object& name) {
    if (glue::truthy(self.attr("invert_xaxis")[name])) ax.attr("invert_xaxis")();
    ax.attr("tick_params")("axis"_a = "x", "colors"_a = look::kChartTicks);
    ax.attr("tick_params")("axis"_a = "y", "colors"_a = look::kChartTicks);
    py::object ylim = self.attr("ylim")[name];
    if (!glue::equals_none(ylim)) ax.attr("set_ylim")(ylim);
}

// Figure, margins and axes as every chart of the kit has them.
py::object make_figure(const py::object& self, const py::tuple& size, const py::object& dpi,
                       const py::object& facecolor, const py::object& bottom) {
    py::object fig = self.attr("Figure")("figsize"_a = size, "dpi"_a = dpi, "facecolor"_a = facecolor);
    fig.attr("tight_layout")();
    fig.attr("subplots_adjust")("bottom"_a = bottom);
    return fig;
}

void embed(const py::object& self, const py::object& canvas) {
    canvas.attr("draw")();
    canvas.attr("get_tk_widget")().attr("grid")("row"_a = self.attr("row"), "column"_a = 0, "sticky"_a = "nsew");
    self.attr("row") = py::object(self.attr("row")) + py::int_(1);
}

void add(py::object self, py::object x, py::object y, py::kwargs options) {
    py::object name = glue::kwarg(options, "name", py::str("$$${}$$$").format(self.attr("row")));
    py::object Lx = glue::kwarg(options, "Lx", py::none());
    py::object Ly = glue::kwarg(options, "Ly", py::none());
    py::object dpi = glue::kwarg(options, "dpi", py::int_(100));
    py::object facecolor = glue::kwarg(options, "facecolor", py::str(look::kDark));
    py::object line_color = glue::kwarg(options, "line_color", py::str(look::kDark));
    py::object bottom = glue::kwarg(options, "bottom", py::float_(0.3));
    self.attr("invert_xaxis")[name] = glue::kwarg(options, "invert_xaxis", py::bool_(false));
    self.attr("ylim")[name] = glue::kwarg(options, "ylim", py::none());

    py::tuple size = size_in_inches(self, Lx, Ly, dpi);
    self.attr("row_name")[name] = self.attr("row");
    self.attr("fig")[name] = make_figure(self, size, dpi, facecolor, bottom);
    py::object fig = self.attr("fig")[name];
    self.attr("ax")[name] = fig.attr("add_subplot")(111);
    py::object ax = self.attr("ax")[name];
    ax.attr("set_facecolor")(facecolor);
    ax.attr("plot")(x, y, "color"_a = line_color);
    corner_markers(self, ax, x, y);
    finish_axes(self, ax, name);

    self.attr("canvas")[name] = self.attr("FigureCanvasTkAgg")(fig, "master"_a = self.attr("frame"));
    embed(self, self.attr("canvas")[name]);
}

void update(py::object self, py::object x, py::object y, py::object name_arg) {
    py::str name = py::str(name_arg);
    py::object ax = self.attr("ax")[name];
    ax.attr("clear")();
    ax.attr("set_facecolor")(self.attr("fig")[name].attr("get_facecolor")());
    ax.attr("plot")(x, y);
    corner_markers(self, ax, x, y);
    finish_axes(self, ax, name);
    self.attr("canvas")[name].attr("draw")();
}

void test(py::object self, py::object Lx, py::object Ly, py::object dpi, py::object facecolor, py::object line_color,
          py::object bottom) {
    py::object np = self.attr("np");
    py::object fig = make_figure(self, size_in_inches(self, Lx, Ly, dpi), dpi, facecolor, bottom);
    py::object ax = fig.attr("add_subplot")(111);
    ax.attr("set_facecolor")(facecolor);
    py::object t = np.attr("arange")(0, 3, 0.01);
    ax.attr("plot")(t, py::int_(2) * np.attr("sin")(py::int_(2) * np.attr("pi") * t), "color"_a = line_color);
    embed(self, self.attr("FigureCanvasTkAgg")(fig, "master"_a = self.attr("frame")));
}

}  // namespace

py::object make_chart_matplotlib() {
    py::object cls = glue::make_class(module(), "Chart_Matplotlib", qualname("Chart_Matplotlib"));
    glue::def_init(cls, &init, py::arg("frame"));
    glue::def(cls, "add", &add, py::arg("x"), py::arg("y"));
    glue::def(cls, "update", &update, py::arg("x"), py::arg("y"), py::arg("name") = py::none());
    glue::def(cls, "test", &test, py::arg("Lx") = py::none(), py::arg("Ly") = py::none(), py::arg("dpi") = 100,
              py::arg("facecolor") = look::kDark, py::arg("line_color") = look::kChartLine, py::arg("bottom") = 0.3);
    return cls;
}

}  // namespace loomkit

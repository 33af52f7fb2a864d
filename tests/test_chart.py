"""Embedded chart: named charts in grid rows, corner markers, redraws."""

from __future__ import annotations

import math
import subprocess
import sys
from typing import Any

import matplotlib.colors
import numpy
import pytest

from conftest import PACKAGE

NAN = math.nan


def grid_row(chart: Any, name: str) -> int:
    return int(chart.canvas[name].get_tk_widget().grid_info()["row"])


def markers(ax: Any) -> list[tuple[float, float]]:
    out: list[tuple[float, float]] = []
    for coll in ax.collections:
        assert coll.get_alpha() == 0 and list(coll.get_sizes()) == [1]
        # A NaN point comes back masked; the data beneath still holds both coordinates.
        out.extend((float(px), float(py)) for px, py in numpy.ma.getdata(coll.get_offsets()))
    return out


def same(points: list[tuple[float, float]], expected: list[tuple[float, float]]) -> bool:
    return len(points) == len(expected) and all(
        all(a == b or (math.isnan(a) and math.isnan(b)) for a, b in zip(p, q)) for p, q in zip(points, expected)
    )


def sizes_at_creation(chart: Any) -> list[tuple[float, float]]:
    """Wraps the chart's canvas class to note each figure's size before Tk resizes it."""
    seen: list[tuple[float, float]] = []
    real = chart.FigureCanvasTkAgg

    def canvas(figure: Any, master: Any) -> Any:
        width, height = figure.get_size_inches()
        seen.append((float(width), float(height)))
        return real(figure, master=master)

    chart.FigureCanvasTkAgg = canvas
    return seen


def test_plotting_libraries_load_with_the_first_chart(Loomkit: Any, frame: Any) -> None:
    code = f"import sys, {PACKAGE}.Loomkit; print('matplotlib' in sys.modules, 'numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines()[-1] == "False False"

    import matplotlib.figure
    import numpy
    from matplotlib.backends.backend_tkagg import FigureCanvasTkAgg

    chart = Loomkit.Chart_Matplotlib(frame)
    assert chart.Figure is matplotlib.figure.Figure and chart.np is numpy
    assert chart.FigureCanvasTkAgg is FigureCanvasTkAgg
    assert (chart.row, chart.canvas, chart.row_name, chart.invert_xaxis, chart.ylim) == (0, {}, {}, {}, {})


def test_unnamed_charts_take_their_row_number(Loomkit: Any, frame: Any) -> None:
    chart = Loomkit.Chart_Matplotlib(frame)
    sizes = sizes_at_creation(chart)
    chart.add([0, 1, 2], [1, 2, 3], Lx=400, Ly=150, dpi=100, unknown_option="ignored")
    chart.test(Lx=400, Ly=150)
    chart.add([0, 1], [3, 4], Lx=200, Ly=100, dpi=50)
    frame.update()

    assert list(chart.fig) == ["$$$0$$$", "$$$2$$$"] and chart.row == 3
    assert chart.row_name == {"$$$0$$$": 0, "$$$2$$$": 2}
    assert grid_row(chart, "$$$0$$$") == 0 and grid_row(chart, "$$$2$$$") == 2
    rows = sorted(int(w.grid_info()["row"]) for w in frame.grid_slaves())
    assert rows == [0, 1, 2]  # the demonstration chart sits between them
    assert sizes == [(4.0, 1.5), (4.0, 1.5), (4.0, 2.0)]
    assert chart.canvas["$$$2$$$"].get_tk_widget().grid_info()["sticky"] == "nesw"
    with pytest.raises(TypeError):
        chart.add([0], [0], "positional-name")


def test_size_defaults_to_the_frame(Loomkit: Any, frame: Any) -> None:
    chart = Loomkit.Chart_Matplotlib(frame)
    sizes = sizes_at_creation(chart)
    chart.add([0, 1], [0, 1], name="f", dpi=100)
    chart.add([0, 1], [0, 1], name="g", dpi=50, Ly=100)
    assert sizes == [(9.0, 7.0), (18.0, 2.0)]


def test_look_of_an_added_chart(Loomkit: Any, frame: Any) -> None:
    chart = Loomkit.Chart_Matplotlib(frame)
    chart.add([0, 1, 2], [2, 1, 3], name="dark", Lx=300, Ly=200, bottom=0.25)
    fig, ax = chart.fig["dark"], chart.ax["dark"]
    assert fig.get_facecolor() == ax.get_facecolor() == pytest.approx((43 / 255, 43 / 255, 43 / 255, 1.0))
    assert fig.subplotpars.bottom == 0.25 and len(fig.axes) == 1
    (line,) = ax.get_lines()
    assert line.get_color() == "#2b2b2b" and list(line.get_ydata()) == [2, 1, 3]
    for axis in (ax.xaxis, ax.yaxis):
        tick = axis.get_major_ticks()[0]
        assert tick.label1.get_color() == "#D0D0D0" and tick.tick1line.get_color() == "#D0D0D0"
    assert not ax.xaxis_inverted() and len(ax.collections) == 0


@pytest.mark.parametrize(
    "y, expected",
    [
        ([NAN, 1.0, 2.0], [(0, 2), (2, 2), (0, NAN), (2, NAN)]),
        ([1.0, 2.0, NAN], [(0, NAN), (2, NAN), (0, 1), (2, 1)]),
        ([NAN, 1.0, NAN], []),
        ([1.0, 2.0, 3.0], []),
        ([], []),
    ],
)
def test_corner_markers_when_one_end_is_missing(Loomkit: Any, frame: Any, y: list[float], expected: Any) -> None:
    x = [0.0, 1.0, 2.0][: len(y)]
    chart = Loomkit.Chart_Matplotlib(frame)
    chart.add(x, y, name="c", Lx=300, Ly=200)
    assert same(markers(chart.ax["c"]), expected)
    chart.update(numpy.array(x), numpy.array(y), name="c")
    assert same(markers(chart.ax["c"]), expected)
    if expected:
        assert chart.ax["c"].get_xlim()[0] <= 0 and chart.ax["c"].get_xlim()[1] >= 2


def test_update_keeps_inversion_and_limits(Loomkit: Any, frame: Any) -> None:
    chart = Loomkit.Chart_Matplotlib(frame)
    chart.add([0, 1, 2], [1, 2, 3], name=None, Lx=300, Ly=200, invert_xaxis=True, ylim=(-5, 5), facecolor="#112233")
    ax = chart.ax[None]
    assert ax.xaxis_inverted() and ax.get_ylim() == (-5, 5)
    with pytest.raises(KeyError):
        chart.update([0, 1], [1, 2])  # the default name is the text "None"
    chart.add([0, 1, 2], [1, 2, 3], name="None", Lx=300, Ly=200, invert_xaxis=True, ylim=(-5, 5), facecolor="#112233")
    ax = chart.ax["None"]

    chart.update([0, 1, 2, 3], [3, 2, 1, 0])
    frame.update()
    assert ax.xaxis_inverted() and ax.get_ylim() == (-5, 5)
    (line,) = ax.get_lines()
    assert list(line.get_xdata()) == [0, 1, 2, 3] and matplotlib.colors.to_hex(line.get_color()) == "#1f77b4"
    assert ax.get_facecolor() == chart.fig["None"].get_facecolor()
    assert ax.xaxis.get_major_ticks()[0].label1.get_color() == "#D0D0D0"
    assert chart.row == 2 and grid_row(chart, "None") == 1


def test_failed_add_keeps_its_figure_but_not_a_row(Loomkit: Any, frame: Any) -> None:
    chart = Loomkit.Chart_Matplotlib(frame)
    with pytest.raises(ValueError):
        chart.add([0, 1, 2], [1, 2], name="bad", Lx=300, Ly=200)
    assert "bad" in chart.fig and "bad" not in chart.canvas and chart.row == 0


def test_demonstration_chart(Loomkit: Any, frame: Any) -> None:
    chart = Loomkit.Chart_Matplotlib(frame)
    made = []
    real = chart.FigureCanvasTkAgg

    def recording(figure: Any, master: Any) -> Any:
        assert tuple(figure.get_size_inches()) == (5.0, 2.0)
        made.append(real(figure, master=master))
        return made[-1]

    chart.FigureCanvasTkAgg = recording
    chart.test(Lx=500, Ly=200)
    assert chart.fig == {} and chart.canvas == {} and chart.row == 1
    (canvas,) = made
    fig = canvas.figure
    ax = fig.axes[0]
    assert fig.subplotpars.bottom == 0.3
    (line,) = ax.get_lines()
    assert line.get_color() == "#3B8ED0" and len(line.get_xdata()) == 300
    assert max(line.get_ydata()) == pytest.approx(2.0, abs=1e-3)
    assert len(ax.collections) == 0 and ax.xaxis.get_major_ticks()[0].label1.get_color() != "#D0D0D0"
    assert canvas.get_tk_widget().grid_info()["row"] == 0

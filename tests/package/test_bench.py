"""The benchmark runs end to end, and what it reports agrees with what it
measured: one table row per size and shape, ratios that are the quotients of
the speeds beside them, a lowest ratio that is the lowest in the table, and
every section's figures in its output."""
import io
import math
import re

import pytest

_bench = pytest.importorskip("tavo._bench")
from tavo import _kernels  # noqa: E402

SIZES = (16, 300, 64 * 1024)  # the last: cells of one message, timed unseen
FIGURE = re.compile(r"\d+\.\d+")


def table_rows(text):
    """{(size, shape): [figures]} of the kernel table's rows."""
    rows = {}
    for line in text.splitlines():
        for size in SIZES:
            for shape in _bench.SHAPES:
                label = "%s %s" % (_bench.size_name(size), shape)
                if re.match(r"%s\s+%s\s" % (re.escape(_bench.size_name(size)), re.escape(shape)),
                            line):
                    assert label not in rows, "two rows for " + label
                    rows[label] = [float(x) for x in FIGURE.findall(line)]
    return rows


def close(printed, exact, decimals):
    """Whether `printed`, rounded to `decimals`, can come from `exact`, when
    exact is itself a quotient of figures rounded to two decimals."""
    return abs(printed - exact) <= 0.6 * 10 ** -decimals + 0.05 * exact


def close_quotient(printed, num, den, decimals):
    """Whether `printed`, rounded to `decimals`, can be num / den, where num
    and den are themselves printed to two decimals. (A speed of 0.08 may be
    0.075 or 0.085, which moves the quotient by 6%: on a loaded machine the
    slowest cells read that low.)"""
    lowest = (num - 0.005) / (den + 0.005)
    highest = (num + 0.005) / (den - 0.005) if den > 0.005 else float("inf")
    slack = 0.6 * 10 ** -decimals
    return lowest - slack <= printed <= highest + slack


def test_close_quotient_allows_rounding_and_nothing_more():
    assert close_quotient(8.7, 0.74, 0.08, 1)  # 0.735 / 0.085
    assert close_quotient(9.9, 0.74, 0.08, 1)  # 0.745 / 0.075
    assert not close_quotient(8.5, 0.74, 0.08, 1)
    assert not close_quotient(10.1, 0.74, 0.08, 1)
    assert not close_quotient(0.1, 0.74, 0.08, 1)  # the quotient upside down


def test_kernel_table_ratios_and_lowest_ratio_follow_the_speeds():
    out = io.StringIO()
    others = [k for k in _kernels.names() if k not in ("scalar", _kernels.active())]
    worst = _bench.kernel_table(SIZES, _kernels.names(), True, out)
    rows = table_rows(out.getvalue())
    assert len(rows) == len(SIZES) * len(_bench.SHAPES)
    ratios = {"encode": {}, "decode": {}}
    for label, figures in rows.items():
        # memcpy; kernel in use, scalar and their ratio, for encode then
        # decode; then each other kernel's two ratios to scalar.
        assert len(figures) == 7 + 2 * len(others), (label, figures)
        assert all(f > 0 and math.isfinite(f) for f in figures), (label, figures)
        for op, (active, scalar, ratio) in (("encode", figures[1:4]), ("decode", figures[4:7])):
            assert close_quotient(ratio, active, scalar, 1), (label, op, figures)
            ratios[op][label] = ratio
    for op in ("encode", "decode"):
        lowest, where = worst[op]
        assert close(min(ratios[op].values()), lowest, 1), (op, worst, ratios[op])
        assert where in rows and close(ratios[op][where], lowest, 1), (op, worst)


def test_every_section_reports_what_it_measured(monkeypatch):
    figures = {}

    def recorded(name):
        section = getattr(_bench, name)

        def run(*args, **kwargs):
            figures[name] = section(*args, **kwargs)
            return figures[name]
        return run

    for name in ("kernel_table", "copy_ratio", "small_messages", "thread_scaling", "framing",
                 "into_and_streams"):
        monkeypatch.setattr(_bench, name, recorded(name))
    out = io.StringIO()
    monkeypatch.setattr("sys.stdout", out)
    assert _bench.main(["--quick", "--sizes", ",".join(map(str, SIZES))]) == 0
    text = out.getvalue()
    # What ran, and where.
    assert _kernels.active() in text and _bench.cpu_model() in text
    choice = [line for line in text.splitlines() if line.startswith("Kernel chosen: ")]
    assert len(choice) == 1 and _kernels.active() in choice[0]
    for name, present in _kernels.features():
        assert "%s %s" % (name, "yes" if present else "no") in choice[0]
    assert len(table_rows(text)) == len(SIZES) * len(_bench.SHAPES)
    # Each figure a section returns is one it printed.
    copy = figures["copy_ratio"]
    assert copy["copy"] == 1.0 and copy["encode"] > 0 and copy["decode"] > 0
    small = figures["small_messages"]
    assert sorted(small) == [16, 64, 256]
    reported = [copy["encode"], copy["decode"], figures["thread_scaling"]]
    reported += [r for pair in small.values() for r in pair] + list(figures["framing"])
    into = figures["into_and_streams"]
    assert sorted(into) == sorted(["Encoder", "Decoder"] + ["%s_into %d" % (op, n) for op in (
        "encode", "decode") for n in (16, 64, 256, 4096)])
    reported += list(into.values())
    for value in reported:
        assert value > 0 and math.isfinite(value)
        assert "%.2f" % value in text, (value, text)
    for op, (lowest, _) in figures["kernel_table"].items():
        assert "%.2f" % lowest in text


def test_cells_of_one_message_time_each_kernel_once_on_each_new_message(monkeypatch):
    calls = []
    real = _kernels.time

    def spy(name, op, data, loops, lengths=None, unseen=0):
        calls.append((name, bytes(data), loops, unseen))
        return real(name, op, data, loops, lengths, unseen)

    monkeypatch.setattr(_kernels, "time", spy)
    names = sorted(set(["memcpy", "scalar", _kernels.active()]))
    rates = _bench.unseen_rates(names, "decode", "random", 70000, 3)
    assert sorted(rates) == names
    assert all(r > 0 and math.isfinite(r) for r in rates.values())
    runs = 3 * len(names)
    assert len(calls) == runs and len(set((name, data) for name, data, _, _ in calls)) == runs
    assert len(set(data for _, data, _, _ in calls)) == 3
    assert all(loops == 1 and unseen for name, _, loops, unseen in calls if name != "memcpy")


@pytest.mark.parametrize("shape", _bench.SHAPES)
def test_shapes_have_their_zero_density(shape):
    data = bytearray(_bench.make(shape, 4096))
    zeros = data.count(0)
    expected = {"random": (1, 60), "no zeros": (0, 0), "1 zero in 8": (350, 700),
                "every 2nd zero": (2048, 2048), "all zeros": (4096, 4096)}[shape]
    assert len(data) == 4096
    assert expected[0] <= zeros <= expected[1]
    if shape == "every 2nd zero":
        assert all(b == 0 for b in data[1::2]) and all(data[0::2])

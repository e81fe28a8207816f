"""Number texts, JSON strings and the builder's numerical pieces, checked
against Python itself and NumPy doing the same job."""

import json
import math

import numpy as np
import pytest

_ecmcore = pytest.importorskip("_ecmcore")


def random_doubles(n, seed):
    rng = np.random.default_rng(seed)
    bits = rng.integers(0, 2**64, n, dtype=np.uint64, endpoint=False)
    x = bits.view(np.float64)
    return [v for v in x.tolist() if math.isfinite(v)]


def reference_model_number(val):
    """The model file's number rule, written with Python and NumPy."""
    if not math.isfinite(val):
        return {math.inf: "Infinity", -math.inf: "-Infinity"}.get(val, "NaN")
    val_str = str(val)
    if "e" in val_str:
        basenum, exp2 = np.frexp(val)
        exp10 = int(np.abs(np.floor(exp2 * np.log10(2)))) + 3
        val_str = "{:.{}f}".format(val, exp10)
    return val_str


class TestPyRepr:
    def test_random_bit_patterns_match_repr(self):
        for x in random_doubles(100_000, 1):
            assert _ecmcore.py_repr(x) == repr(x)

    def test_decimal_values_and_layout_boundaries(self):
        rng = np.random.default_rng(2)
        values = [
            0.0,
            -0.0,
            1.0,
            0.1,
            0.0001,
            0.00009999999999999999,
            1e-05,
            1e15,
            1e16,
            9999999999999998.0,
            1.5e16,
            5e-324,
            1.7976931348623157e308,
            35 * 0.005,
            2.0512,
            1520.4,
        ]
        values += (10.0 ** rng.uniform(-8, 20, 5000) * rng.choice([-1, 1], 5000)).tolist()
        values += [round(float(v), int(d)) for v, d in zip(rng.uniform(0, 5, 5000), rng.integers(0, 6, 5000))]
        for x in values:
            assert _ecmcore.py_repr(x) == repr(x)

    def test_non_finite(self):
        assert [_ecmcore.py_repr(v) for v in (math.nan, math.inf, -math.inf)] == ["nan", "inf", "-inf"]


class TestModelNumberRule:
    @pytest.mark.parametrize(
        "val, exp2, exp10, written",
        [
            (0.005, None, None, "0.005"),
            (25.0, None, None, "25.0"),
            (0.0001234, None, None, "0.0001234"),
            (1.234e-05, -16, 8, "0.00001234"),
            (-5.2e-05, -14, 8, "-0.00005200"),
            (9.9e-05, -13, 7, "0.0000990"),
            (1e-07, -23, 10, "0.0000001000"),
            (1.5e16, 54, 19, "15000000000000000.0000000000000000000"),
        ],
    )
    def test_worked_examples(self, val, exp2, exp10, written):
        assert _ecmcore.model_number_text(val) == written
        if exp2 is not None:
            assert int(np.frexp(val)[1]) == exp2
            assert _ecmcore.model_number_decimals(val) == exp10

    def test_random_values_match_python_and_numpy(self):
        rng = np.random.default_rng(3)
        values = random_doubles(50_000, 4)
        values += (10.0 ** rng.uniform(-30, 30, 20_000) * rng.choice([-1, 1], 20_000)).tolist()
        values += [5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e16, 1e-5, 9.999999999999999e-05]
        for x in values:
            assert _ecmcore.model_number_text(x) == reference_model_number(x), x

    def test_never_exponent_and_reads_back(self):
        for x in random_doubles(20_000, 5):
            s = _ecmcore.model_number_text(x)
            assert "e" not in s and "E" not in s
            back = float(s)
            assert back == pytest.approx(x, rel=1e-2, abs=1e-320)

    def test_non_finite_spelled_for_json_readers(self):
        texts = [_ecmcore.model_number_text(v) for v in (math.nan, math.inf, -math.inf)]
        assert texts == ["NaN", "Infinity", "-Infinity"]
        back = json.loads("[" + ", ".join(texts) + "]")
        assert math.isnan(back[0]) and back[1:] == [math.inf, -math.inf]

    def test_fixed_text_matches_format(self):
        rng = np.random.default_rng(6)
        for x, d in zip(random_doubles(5000, 7), rng.integers(0, 40, 5000).tolist()):
            if abs(x) < 1e30:
                assert _ecmcore.fixed_text(x, d) == "{:.{}f}".format(x, d)


class TestJsonString:
    @pytest.mark.parametrize(
        "s",
        [
            "CELL01",
            "",
            'A"B',
            "A\\B",
            "a\nb\tc\rd\be\ff",
            "\x00\x1f\x7f",
            "Zelle \u00e4\u00f6",
            "\u20ac",
            "\U0001f600",
            "\udcff",
            "'quoted'",
        ],
    )
    def test_matches_json_dumps(self, s):
        assert _ecmcore.json_string(s) == json.dumps(s)
        assert json.loads(_ecmcore.json_string(s)) == s

    def test_random_text(self):
        rng = np.random.default_rng(8)
        for _ in range(2000):
            cps = rng.integers(0, 0x2FFFF, rng.integers(0, 12)).tolist()
            s = "".join(chr(c) for c in cps if not 0xD800 <= c < 0xE000)
            assert _ecmcore.json_string(s) == json.dumps(s)


class TestTables:
    @pytest.mark.parametrize(
        "lo, hi", [(3.0, 4.2), (2.5, 4.35), (2.8, 4.1), (3.3, 3.6), (0.0, 1.0), (4.2, 3.0), (3.0, 2.99), (1e-3, 12.6)]
    )
    def test_voltage_axis_is_numpy_linspace(self, lo, hi):
        ours = _ecmcore.linspace(lo - 0.01, hi, 122)
        np.testing.assert_array_equal(ours, np.linspace(lo - 0.01, hi, 122))

    def test_interp_matches_numpy(self):
        rng = np.random.default_rng(9)
        for _ in range(200):
            n = int(rng.integers(1, 30))
            xp = np.sort(rng.uniform(2.8, 4.3, n))
            fp = rng.uniform(0, 1, n)
            x = rng.uniform(2.5, 4.5, 122)
            x[:3] = xp[0], xp[-1], np.nan
            np.testing.assert_array_equal(_ecmcore.table_interp(x, xp, fp), np.interp(x, xp, fp))

    def test_interp_flat_outside_the_curve(self):
        xp = np.linspace(3.0, 4.2, 201)
        fp = np.linspace(0.0, 1.0, 201)
        y = _ecmcore.table_interp(np.array([2.9, 2.99, 4.2, 4.21, 5.0]), xp, fp)
        np.testing.assert_array_equal(y, [0.0, 0.0, 1.0, 1.0, 1.0])

    def test_lstsq_matches_numpy(self):
        rng = np.random.default_rng(10)
        for m in range(1, 8):
            for _ in range(40):
                temps = rng.choice([-20.0, -10.0, 0.0, 10.0, 25.0, 40.0, 60.0], m)
                A = np.vstack([temps, np.ones(m)]).T
                Y = rng.uniform(2.5, 4.3, (m, 201))
                ref = np.linalg.lstsq(A, Y, rcond=None)[0]
                np.testing.assert_allclose(_ecmcore.lstsq(A, Y), ref, rtol=1e-9, atol=1e-12)
                np.testing.assert_allclose(_ecmcore.lstsq(A, Y[:, 0]), ref[:, 0], rtol=1e-9, atol=1e-12)

    def test_lstsq_general_rank_deficient(self):
        rng = np.random.default_rng(11)
        for _ in range(100):
            B = rng.normal(size=(5, 2))
            A = B @ rng.normal(size=(2, 4))  # rank 2
            y = rng.normal(size=(5, 3))
            np.testing.assert_allclose(
                _ecmcore.lstsq(A, y), np.linalg.lstsq(A, y, rcond=None)[0], rtol=1e-8, atol=1e-10
            )

    def test_lstsq_single_temperature_minimum_norm(self):
        x = _ecmcore.lstsq(np.array([[25.0, 1.0]]), np.array([3.7]))
        assert x[0] == pytest.approx(25 * 3.7 / 626, rel=1e-14)
        assert x[1] == pytest.approx(3.7 / 626, rel=1e-14)

    def test_bad_shapes_raise_value_error(self):
        with pytest.raises(ValueError):
            _ecmcore.lstsq(np.ones((3, 2)), np.ones(2))
        with pytest.raises(ValueError):
            _ecmcore.lstsq(np.ones(3), np.ones(3))
        with pytest.raises(ValueError):
            _ecmcore.table_interp(np.ones(3), np.ones(2), np.ones(3))
        with pytest.raises(ValueError):
            _ecmcore.derivative_along_soc(np.ones(1), 0.1)

    def test_derivative_worked_example_and_numpy(self):
        d = _ecmcore.derivative_along_soc(np.array([3.0, 3.1, 3.3, 3.4]), 0.25)
        np.testing.assert_allclose(d, [0.4, 0.6, 0.6, 0.4], rtol=1e-12)
        rng = np.random.default_rng(12)
        grid = np.arange(201) * 0.005
        v = np.cumsum(rng.uniform(0, 0.01, 201)) + 3.0
        dz = np.mean(np.diff(grid))
        assert _ecmcore.mean_step(grid) == pytest.approx(dz, rel=1e-14)
        dU = np.diff(v) / dz
        ref = (np.insert(dU, 0, dU[0]) + np.insert(dU, -1, dU[-1])) / 2
        np.testing.assert_allclose(_ecmcore.derivative_along_soc(v, dz), ref, rtol=1e-14)

    def test_model_json_text_example(self):
        text, nonfinite = _ecmcore.model_json_text(
            [
                ("param_1", [0.0, 0.5, 1.0]),
                ("temps", [25.0]),
                ("param_2", []),
                ("param_3", [1.234e-05]),
                ("name", "AB12"),
            ]
        )
        assert text == '{"param_1": [0.0, 0.5, 1.0], "temps": [25.0], "param_3": [0.00001234], "name": "AB12"}'
        assert nonfinite == []

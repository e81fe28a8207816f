"""Shared fixtures: synthetic battery folders with a known truth.

``make_battery_folder(**options)`` writes ``<tmp_path>/<cell>/raw_data/*.csv``,
``<tmp_path>/<cell>/truth.json`` and ``<tmp_path>/input_params.json`` and
returns a namespace describing them.  Recordings are generated once per
session for each set of options and copied into every test's ``tmp_path``.
"""

import json
import os
import shutil
import sys
import types

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
# The tests use the installed package: the source folder ecm/ (without its
# compiled _core) must not shadow it when pytest runs from the repository root.
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != REPO]
for _p in (os.path.join(REPO, "tools"), HERE):
    if _p not in sys.path:
        sys.path.insert(0, _p)

import synthcell  # noqa: E402

# A short protocol: 500 mAh cell, 2 A pulses of 60 s, 300 s rests, 1 s
# sampling: about 15 pulses and 5,000 samples per recording.
SMALL_PROTOCOL = dict(capacity_mAh=500.0, pulse_current_A=-2.0, pulse_s=60.0, rest_s=300.0, initial_rest_s=60.0, dt=1.0)

_FOLDER_KEYS = {"cell_name", "capacity_mAh", "temperatures", "model", "varying", "no_temperature_column", "seed"}


@pytest.fixture(scope="session")
def _synth_cache(tmp_path_factory):
    return {"root": tmp_path_factory.mktemp("synthcache"), "made": {}}


@pytest.fixture
def make_battery_folder(tmp_path, _synth_cache):
    """Factory: make_battery_folder(temperatures=(25,), model="model2",
    varying=True, cell_name="cellA", no_temperature_column=(), relative=False,
    low_cutoff=3.0, high_cutoff=4.2, fit_model=None, seed=0, **recording_options).

    ``model`` sets the number of RC branches of the simulated cell and, unless
    ``fit_model`` is given, the model in input_params.json.  With
    ``relative=True`` the configuration names the folder relatively
    ("./" + cell name); otherwise by its absolute path.  Options not listed go
    to ``synthcell.make_recording`` (on top of ``SMALL_PROTOCOL``).
    Returns a namespace with root, folder, raw_data, recordings (paths),
    truth (path), truth_data (dict by file name), input_params (path),
    config (dict), vcut, vhigh, model.
    """

    def make(*, relative=False, high_cutoff=4.2, fit_model=None, **options):
        opts = dict(SMALL_PROTOCOL)
        opts.update(
            cell_name="cellA", temperatures=(25,), model="model2", varying=True, no_temperature_column=(), seed=0
        )
        opts.update(options)
        opts["temperatures"] = tuple(opts["temperatures"])
        opts["no_temperature_column"] = tuple(opts["no_temperature_column"])
        opts.setdefault("low_cutoff", 3.0)
        key = repr(sorted(opts.items()))
        made = _synth_cache["made"]
        if key not in made:
            src_root = _synth_cache["root"] / f"set{len(made)}"
            folder_kw = {k: v for k, v in opts.items() if k in _FOLDER_KEYS}
            rec_kw = {k: v for k, v in opts.items() if k not in _FOLDER_KEYS}
            made[key] = synthcell.write_battery_folder(src_root, **folder_kw, **rec_kw)
        src = made[key]
        cell = opts["cell_name"]
        folder = tmp_path / cell
        shutil.copytree(src["folder"], folder, dirs_exist_ok=True)
        if relative:
            database = "./"
        else:
            database = str(tmp_path) + os.sep
        model = fit_model or opts["model"]
        params_path = synthcell.write_input_params(tmp_path, database, cell, high_cutoff, opts["low_cutoff"], model)
        with open(params_path) as fh:
            config = json.load(fh)
        recordings = [str(folder / "raw_data" / os.path.basename(p)) for p in src["recordings"]]
        return types.SimpleNamespace(
            root=tmp_path,
            folder=folder,
            raw_data=folder / "raw_data",
            recordings=recordings,
            truth=folder / "truth.json",
            truth_data=src["truth_data"],
            input_params=params_path,
            config=config,
            vcut=float(opts["low_cutoff"]),
            vhigh=float(high_cutoff),
            model=model,
        )

    return make


@pytest.fixture
def battery_folder(make_battery_folder):
    """A one-recording (25 C, two-branch, SOC-dependent) small battery folder."""
    return make_battery_folder()

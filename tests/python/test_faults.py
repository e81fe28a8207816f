"""Faults during a run: a kill while files are written, a failing recording, a read-only results directory.

- SIGKILL at random moments of a run over a results directory that holds the
  complete files of an earlier run (another model, so other content): every
  file is afterwards either its old or its new form, complete; a temporary
  file a kill leaves behind is hidden from the builder's "*_params.json".
- A failure in the third recording (in the search's order) leaves the files
  of the first two complete and does not call the builder.
- A results directory the run may not write to gives an OSError naming the
  file, and the files already there stay.
"""

import ctypes
import glob
import os
import random
import shutil
import signal
import subprocess
import sys
import time

import hostile
import pandas as pd
import pytest
import synthcell
from runner import run_ecmfit

CUTOFF_EXIT = hostile.CUTOFF_EXIT
KILLS = int(os.environ.get("ECM_FAULT_KILLS", "32"))

# Small, fast recordings of a constant two-branch cell (exact closed form).
PROTOCOL = dict(
    capacity_mAh=150.0,
    pulse_current_A=-1.0,
    pulse_s=30.0,
    rest_s=150.0,
    initial_rest_s=30.0,
    dt=1.0,
    model="model2",
    varying=False,
    method="exact",
)


def make_folder(root, temperatures, cell="cellA", model="model2", low_cutoff=3.0):
    made = synthcell.write_battery_folder(root, cell, temperatures=temperatures, **PROTOCOL)
    synthcell.write_input_params(root, str(root) + "/", cell, low_cutoff=low_cutoff, model=model)
    return made


def search_order(folder):
    """The recordings in the order the run's search gives them."""
    return glob.glob(str(folder) + "/raw_data/*.csv")


def set_config(root, model, low_cutoff):
    synthcell.write_input_params(root, str(root) + "/", "cellA", model=model, low_cutoff=low_cutoff)


class TestKilledWhileWriting:
    def test_every_file_is_old_or_new_and_complete(self, tmp_path):
        temps = (25, 0, -10, 40, 10)
        made = make_folder(tmp_path, temps)
        folder = made["folder"]
        results = os.path.join(folder, "results")

        # old: a complete one-branch run with a higher cut-off; new: the
        # two-branch run that gets killed (every file differs between the two)
        set_config(tmp_path, "model1", 3.1)
        run = run_ecmfit(tmp_path)
        assert run.returncode == 0, run.stderr[-2000:]
        old = hostile.results_snapshot(results)
        old_dir = str(tmp_path / "old_results")
        shutil.copytree(results, old_dir)

        set_config(tmp_path, "model2", 3.0)
        t0 = time.monotonic()
        run = run_ecmfit(tmp_path)
        duration = time.monotonic() - t0
        assert run.returncode == 0, run.stderr[-2000:]
        new = hostile.results_snapshot(results)
        assert set(old) == set(new) and all(old[k] != new[k] for k in old)

        rng = random.Random(20240601)
        states = {"all old": 0, "mixed": 0, "all new": 0, "temporary left": 0}
        for k in range(KILLS):
            shutil.rmtree(results)
            shutil.copytree(old_dir, results)
            aimed = k % 2 == 1
            proc = subprocess.Popen(
                [sys.executable, "-c", "import ecmfit"],
                cwd=str(tmp_path),
                stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE if aimed else subprocess.DEVNULL,
                text=True,
            )
            if not aimed:
                # any moment of the run
                time.sleep(rng.uniform(0.0, duration * 1.05))
            else:
                # aimed at the writes: a few milliseconds after the log line that
                # precedes a parameter file, an OCV table or the model file
                target = rng.randrange(3 * len(temps))
                seen = 0
                for line in proc.stderr:
                    if line.startswith(("INFO:Total runtime", "INFO:file ", "INFO:Saved file ")):
                        if seen == target:
                            break
                        seen += 1
                time.sleep(rng.uniform(0.0, 0.004))
            proc.send_signal(signal.SIGKILL)
            proc.communicate()
            assert proc.returncode in (-signal.SIGKILL, 0), proc.returncode

            now = hostile.results_snapshot(results)
            assert set(now) == set(old), f"kill {k}: files {sorted(now)}"
            forms = []
            for name, data in now.items():
                assert data in (old[name], new[name]), f"kill {k}: {name} is neither its old nor its new form"
                forms.append(data == new[name])
            hidden = [n for n in os.listdir(results) if n not in now]
            assert all(n.startswith(".") and ".tmp" in n for n in hidden), hidden
            assert not [n for n in hidden if glob.fnmatch.fnmatch(n, "*_params.json")]
            if hidden:
                states["temporary left"] += 1
            states["all new" if all(forms) else "mixed" if any(forms) else "all old"] += 1

        print(f"\n{KILLS} kills over a {duration:.2f} s run: {states}")
        # the kills covered the run: some before any new file, some between files
        assert states["mixed"] > 0 and states["all old"] > 0

        # a temporary file does not disturb the builder: plant one that looks
        # like a half-written parameter file and build the model
        with open(os.path.join(results, ".cellA_150mAh_Tp25_params.json.tmpAB12cd"), "w") as fh:
            fh.write('{"TempC": 25, "Tpar')
        code = "import ecmgen, sys; ecmgen.write_battery_model_file(sys.argv[1], 3.0, 4.2)"
        proc = subprocess.run([sys.executable, "-c", code, folder], capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr[-2000:]


def corrupt_text_cell(path):
    df = pd.read_csv(path)
    df = df.astype({"Voltage(V)": object})
    df.loc[17, "Voltage(V)"] = "4.1 V"
    df.to_csv(path, index=False)
    return ["line 19", "Voltage(V)"]


def never_below_cutoff(path):
    df = pd.read_csv(path)
    df["Voltage(V)"] = df["Voltage(V)"].clip(lower=3.0)
    df.to_csv(path, index=False)
    return None


def no_pulses(path):
    df = pd.read_csv(path)
    df["Current(A)"] = 0.0
    df.to_csv(path, index=False)
    return []


class TestFailureInTheThirdRecording:
    @pytest.mark.parametrize("fault", [corrupt_text_cell, never_below_cutoff, no_pulses])
    def test_first_two_files_stay_and_the_builder_is_not_called(self, tmp_path, fault):
        make_folder(tmp_path, (25, 0, -10, 40))
        folder = tmp_path / "cellA"
        order = search_order(folder)
        assert len(order) == 4
        fragments = fault(order[2])
        run = run_ecmfit(tmp_path)
        assert run.returncode == 1
        last = hostile.last_line(run.stderr)
        if fragments is None:
            assert run.stderr.endswith(CUTOFF_EXIT + "\n")
        else:
            assert hostile.classify(run) == "exception"
            assert os.path.basename(order[2]) in last and all(f in last for f in fragments), last
        assert hostile.started_files(run.stderr) == order[:3]
        assert "battery_model" not in run.stderr
        results = folder / "results"
        expected = sorted(os.path.basename(p) for f in order[:2] for p in hostile.expected_outputs(str(results), f))
        assert sorted(os.listdir(results)) == expected
        for f in order[:2]:
            pj, oc = hostile.expected_outputs(str(results), f)
            assert hostile.check_params_file(pj, "model2", f, 3.0) == []
            assert hostile.check_ocv_file(oc, pj) == []


def _without_permission_override():
    """Runs in the child before exec: root loses the capabilities that let it
    ignore file permissions (the bounding set also bounds the exec'd program)."""
    libc = ctypes.CDLL(None, use_errno=True)
    for cap in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
        if libc.prctl(24, cap, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")


def _permission_checks_apply(directory):
    probe = os.path.join(directory, "probe")
    code = f"open({probe!r}, 'w')"
    try:
        proc = subprocess.run(
            [sys.executable, "-c", code], preexec_fn=_without_permission_override, capture_output=True, text=True
        )
    except (OSError, subprocess.SubprocessError):
        return False
    return proc.returncode != 0 and "PermissionError" in proc.stderr


class TestReadOnlyResults:
    def test_clear_error_names_the_file_and_old_files_stay(self, tmp_path):
        make_folder(tmp_path, (25, 0))
        folder = tmp_path / "cellA"
        results = folder / "results"
        # an earlier complete run
        run = run_ecmfit(tmp_path)
        assert run.returncode == 0, run.stderr[-2000:]
        before = hostile.results_snapshot(str(results))
        assert len(before) == 5
        os.chmod(results, 0o555)
        try:
            if os.geteuid() == 0 and not _permission_checks_apply(str(results)):
                pytest.skip("cannot run a child without root's permission override here")
            kw = {"preexec_fn": _without_permission_override} if os.geteuid() == 0 else {}
            proc = subprocess.run(
                [sys.executable, "-c", "import ecmfit"],
                cwd=str(tmp_path),
                capture_output=True,
                text=True,
                timeout=600,
                **kw,
            )
        finally:
            os.chmod(results, 0o755)
        assert proc.returncode == 1
        last = hostile.last_line(proc.stderr)
        first = hostile.expected_outputs(str(results), search_order(folder)[0])[0]
        assert last.startswith(("OSError", "PermissionError")), last
        assert first in last and "cannot write" in last and "Permission denied" in last, last
        assert "Traceback" in proc.stderr
        assert hostile.results_snapshot(str(results)) == before
        assert [n for n in os.listdir(results) if n.startswith(".")] == []

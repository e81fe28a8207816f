"""The installed distribution as a user meets it: the version it reports, the
`python -m ecm` spelling of the command, and the extras (the base install fits
without any of them; a command that needs one names an extra that brings it).

Everything runs against the installed package, in fresh interpreters."""

import importlib.metadata as md
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SAMPLE = os.path.join(REPO, "examples")
DIST = "ecmfit"

# Import names of what the extras bring, and the distribution that provides each.
OPTIONAL = {
    "matplotlib": "matplotlib",
    "dask": "dask",
    "distributed": "distributed",
    "pyarrow": "pyarrow",
    "galvani": "datalab-org-galvani",
    "fastnda": "fastnda",
    "openpyxl": "openpyxl",
    "pybamm": "pybamm",
}

# Makes the named top-level modules unimportable, as on a machine without them.
BLOCKER = textwrap.dedent(
    """
    import sys, importlib.abc
    class _Missing(importlib.abc.MetaPathFinder):
        def __init__(self, names):
            self.names = set(names)
        def find_spec(self, name, path=None, target=None):
            if name.split(".")[0] in self.names:
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            return None
    sys.meta_path.insert(0, _Missing(sys.argv[1].split(",")))
    for _m in list(sys.modules):
        if _m.split(".")[0] in sys.argv[1].split(","):
            del sys.modules[_m]
    del sys.argv[1]
    """
)


def run(args, cwd=None, blocked=()):
    """Runs ``python -m ecm ARGS`` in a fresh interpreter, optionally without some modules."""
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    if blocked:
        code = (
            BLOCKER + "import runpy; sys.argv[0] = 'ecm'; runpy.run_module('ecm', run_name='__main__', alter_sys=True)"
        )
        cmd = [sys.executable, "-c", code, ",".join(blocked), *args]
    else:
        cmd = [sys.executable, "-m", "ecm", *args]
    return subprocess.run(cmd, cwd=cwd or REPO, env=env, capture_output=True, text=True, timeout=600)


def requirement_names(extra=None):
    """Distribution names the installed metadata requires, for the base install or one extra."""
    names = set()
    for req in md.requires(DIST) or []:
        requirement, _, marker = req.partition(";")
        in_extra = re.search(r"""extra\s*==\s*["']([^"']+)["']""", marker)
        if (in_extra.group(1) if in_extra else None) != extra:
            continue
        name = re.match(r"\s*([A-Za-z0-9_.\-]+)", requirement).group(1)
        names.add(re.sub(r"[-_.]+", "-", name).lower())
    return names


def norm(name):
    return re.sub(r"[-_.]+", "-", name).lower()


@pytest.fixture
def sample_copy(tmp_path):
    shutil.copytree(SAMPLE, tmp_path / "examples", ignore=shutil.ignore_patterns("results"))
    return tmp_path / "examples"


class TestVersion:
    def test_python_m_ecm_prints_the_distribution_version(self):
        r = run(["--version"])
        assert r.returncode == 0, r.stderr
        assert r.stdout.strip() == f"ecm {md.version(DIST)}"

    def test_module_attribute_is_the_distribution_version(self):
        import ecm

        assert ecm.__version__ == md.version(DIST)
        assert ecm.__version__ != "0+unknown"

    def test_installed_version_is_the_source_version(self):
        tomllib = pytest.importorskip("tomllib")
        with open(os.path.join(REPO, "pyproject.toml"), "rb") as f:
            project = tomllib.load(f)["project"]
        assert md.version(DIST) == project["version"]


class TestPythonDashM:
    def test_same_command_as_the_console_script(self):
        scripts = [e for e in md.distribution(DIST).entry_points if e.group == "console_scripts" and e.name == "ecm"]
        assert len(scripts) == 1
        assert scripts[0].value == "ecm.cli:main"
        exe = shutil.which("ecm", path=os.path.dirname(sys.executable))
        if exe is None:
            pytest.skip("the ecm script is not installed beside this interpreter")
        for args in (["--help"], ["fit", "--help"], ["validate", "--help"]):
            via_m = run(args)
            via_script = subprocess.run([exe, *args], capture_output=True, text=True, timeout=120)
            assert via_m.returncode == via_script.returncode == 0
            assert via_m.stdout == via_script.stdout

    def test_no_command_is_a_usage_error(self):
        r = run([])
        assert r.returncode == 2
        assert r.stderr.startswith("usage: ecm")

    def test_fits_the_sample_cell(self, sample_copy):
        r = run(["fit", "sample_cell", "--json", "--no-write"], cwd=sample_copy)
        assert r.returncode == 0, r.stderr
        assert '"temperature"' in r.stdout


class TestExtras:
    def test_base_install_is_what_fitting_needs(self):
        base = requirement_names()
        assert {"numpy", "scipy", "pandas", "tqdm"} <= base
        assert not base & {norm(d) for d in OPTIONAL.values()}

    def test_all_holds_every_runtime_extra(self):
        runtime = requirement_names("report") | requirement_names("exports") | requirement_names("cluster")
        assert runtime
        assert runtime <= requirement_names("all")

    def test_test_extra_brings_what_the_tests_import(self):
        needed = {"pytest", "hypothesis", "pybamm", "matplotlib", "dask", "pyarrow", "openpyxl"}
        assert needed <= requirement_names("test")

    def test_fit_on_the_base_install(self, sample_copy):
        """Without any optional library, `ecm fit` fits and writes every file."""
        r = run(["fit", "sample_cell", "-q"], cwd=sample_copy, blocked=sorted(OPTIONAL))
        assert r.returncode == 0, r.stderr
        results = sample_copy / "sample_cell" / "results"
        names = sorted(p.stem for p in (sample_copy / "sample_cell" / "raw_data").glob("*.csv"))
        assert len(names) == 3
        for name in names:
            assert (results / f"{name}_params.json").stat().st_size > 0
            assert (results / f"{name}_ocv.csv").stat().st_size > 0
        assert (results / "battery_model.json").stat().st_size > 0

    @pytest.mark.parametrize(
        "args, module, extra",
        [
            (["report", "sample_cell", "--out", "r.html"], "matplotlib", "report"),
            (["batch", ".", "--low-cutoff", "3.0", "--high-cutoff", "4.2"], "dask", "cluster"),
        ],
    )
    def test_missing_library_names_its_extra(self, sample_copy, args, module, extra):
        r = run(args, cwd=sample_copy, blocked=[module])
        assert r.returncode == 2, (r.stdout, r.stderr)
        named = set(re.findall(r"\[(\w+)\]|'(\w+)' extra", r.stderr))
        named_extras = {a or b for a, b in named}
        assert extra in named_extras, r.stderr
        assert norm(OPTIONAL[module]) in requirement_names(extra)

    def test_binary_export_names_its_extra(self, tmp_path):
        """A binary export without its reader: the message names an extra that brings the reader."""
        path = tmp_path / "cell_25C.mpr"
        path.write_bytes(b"not read")
        code = BLOCKER + textwrap.dedent(
            """
            import ecm
            try:
                ecm.extract([sys.argv[1]], low_cutoff=3.0, high_cutoff=4.2, temperature=25)
            except ecm.RecordingError as e:
                print(e)
            """
        )
        r = subprocess.run(
            [sys.executable, "-c", code, "galvani", str(path)], capture_output=True, text=True, timeout=120
        )
        assert r.returncode == 0, r.stderr
        m = re.search(r"needs (\S+) \(pip install '[^\[]+\[(\w+)\]'\)", r.stdout)
        assert m, r.stdout
        assert norm(m.group(1)) in requirement_names(m.group(2))


class TestCommandReference:
    def test_page_holds_every_command_help_as_printed(self):
        """The documentation hook's page against what `python -m ecm CMD --help` prints."""
        import docs_hooks

        page = docs_hooks.on_page_markdown("# Commands\n\n" + docs_hooks.MARKER + "\n", page=None)
        assert docs_hooks.MARKER not in page
        env = dict(os.environ, COLUMNS=docs_hooks.WIDTH)
        commands = re.findall(r"^## `ecm ?(\w*)`$", page, flags=re.M)
        assert commands[0] == "" and {"fit", "batch", "report", "validate", "export"} <= set(commands[1:])
        for cmd in commands:
            args = [cmd, "--help"] if cmd else ["--help"]
            r = subprocess.run(
                [sys.executable, "-m", "ecm", *args], env=env, capture_output=True, text=True, timeout=120
            )
            assert r.returncode == 0, r.stderr
            assert f"```text\n{r.stdout.rstrip()}\n```" in page, cmd

"""setup.py's build, without running a compiler: flags follow the compiler
in use, the codec is compiled once into a static library that every
extension links, and the interpreter's own debug flags are dropped. The
build_ext command runs with a compiler that records its calls. Needs the
source tree and setuptools."""
import os
import runpy

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SETUP = os.path.join(ROOT, "setup.py")
CODEC = os.path.join("src", "codec")

pytestmark = pytest.mark.skipif(not os.path.exists(SETUP), reason="needs the source tree")
setuptools = pytest.importorskip("setuptools")


def load_setup(monkeypatch, setuptools_version=None, **env):
    """setup.py's namespace and the keywords it passes to setup()."""
    captured = {}
    monkeypatch.setattr(setuptools, "setup", lambda **kw: captured.update(kw))
    if setuptools_version:
        monkeypatch.setattr(setuptools, "__version__", setuptools_version)
    for name in ("TAVO_EXTRA_CFLAGS", "TAVO_EXTRA_LDFLAGS", "TAVO_INIT_FAULT"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.chdir(ROOT)
    return runpy.run_path(SETUP, run_name="setup"), captured


class RecordingCompiler:
    """Stands in for a distutils compiler of the given compiler_type."""

    def __init__(self, compiler_type):
        self.compiler_type = compiler_type
        self.compiler_so = ["cc", "-Wsign-compare", "-g", "-O3", "-Wstrict-prototypes", "-fPIC"]
        self.linker_so = ["cc", "-shared", "-ggdb"]
        self.compiles = []  # (sources, extra_postargs)
        self.archives = []  # (objects, path)
        self.links = []  # (objects, output, extra_postargs)

    def library_filename(self, name, output_dir=""):
        pattern = "%s.lib" if self.compiler_type == "msvc" else "lib%s.a"
        return os.path.join(output_dir, pattern % name)

    def compile(self, sources, output_dir=None, macros=None, include_dirs=None, debug=0,
                extra_preargs=None, extra_postargs=None, depends=None):
        self.compiles.append((list(sources), list(extra_postargs or [])))
        return [os.path.join(output_dir, os.path.splitext(s)[0] + ".o") for s in sources]

    def create_static_lib(self, objects, name, output_dir=None, debug=0, target_lang=None):
        path = self.library_filename(name, output_dir)
        open(path, "w").close()
        self.archives.append((list(objects), path))

    def link_shared_object(self, objects, output, extra_postargs=None, **kw):
        self.links.append((list(objects), output, list(extra_postargs or [])))

    def detect_language(self, sources):
        return "c++"


def build(monkeypatch, tmp_path, compiler_type, force=True, compiler=None, **env):
    namespace, kw = load_setup(monkeypatch, **env)
    from setuptools.dist import Distribution
    dist = Distribution({"name": "probe", "ext_modules": kw["ext_modules"],
                         "cmdclass": kw["cmdclass"]})
    cmd = kw["cmdclass"]["build_ext"](dist)
    cmd.build_temp = str(tmp_path / "tmp")
    cmd.build_lib = str(tmp_path / "lib")
    cmd.force = force
    cmd.ensure_finalized()
    os.makedirs(cmd.build_temp, exist_ok=True)
    cmd.compiler = compiler or RecordingCompiler(compiler_type)
    cmd.build_extensions()
    return namespace, kw, cmd.compiler


def codec_files():
    return sorted(os.path.join(CODEC, f) for f in os.listdir(os.path.join(ROOT, CODEC))
                  if f.endswith(".cpp"))


@pytest.mark.parametrize("compiler_type", ["unix", "mingw32", "msvc"])
def test_codec_compiled_once_and_linked_into_every_extension(monkeypatch, tmp_path,
                                                            compiler_type):
    _, kw, cc = build(monkeypatch, tmp_path, compiler_type)
    compiled = [s for sources, _ in cc.compiles for s in sources]
    for source in codec_files():
        assert compiled.count(source) == 1, (source, cc.compiles)
    assert len(cc.archives) == 1
    objects, library = cc.archives[0]
    assert len(objects) == len(codec_files())
    names = [ext.name for ext in kw["ext_modules"]]
    assert "_tavoext" in names and "tavo._kernels" in names
    assert len(cc.links) == len(names)
    for ext, (linked, output, _) in zip(kw["ext_modules"], cc.links):
        assert all(s.startswith(os.path.join("src", "module")) for s in ext.sources), ext.sources
        assert library in linked, (ext.name, linked)
        assert not [o for o in linked if o in objects], "codec objects linked loose"


@pytest.mark.parametrize("compiler_type", ["unix", "mingw32"])
def test_gcc_style_compilers_get_gcc_flags(monkeypatch, tmp_path, compiler_type):
    _, _, cc = build(monkeypatch, tmp_path, compiler_type)
    for sources, flags in cc.compiles:
        assert "-std=c++17" in flags and "-Wextra" in flags, (sources, flags)
        assert "-fvisibility=hidden" in flags
        assert not [f for f in flags if f.startswith("/")], flags
    # The interpreter's -g and C-only warning go; the rest of its flags stay.
    assert cc.compiler_so == ["cc", "-Wsign-compare", "-O3", "-fPIC"]
    assert cc.linker_so == ["cc", "-shared"]
    static = [f for _, _, flags in cc.links for f in flags if f.startswith("-static-")]
    if compiler_type == "mingw32":
        assert set(static) == {"-static-libgcc", "-static-libstdc++"}
    else:
        assert static == []


def test_msvc_gets_msvc_flags(monkeypatch, tmp_path):
    _, _, cc = build(monkeypatch, tmp_path, "msvc")
    for _, flags in cc.compiles:
        assert "/std:c++17" in flags and "/O2" in flags
        assert not [f for f in flags if f.startswith("-")], flags


def test_extra_flags_reach_codec_and_extensions(monkeypatch, tmp_path):
    """A sanitizer build must instrument the codec too, and keep the -g it
    asked for."""
    _, _, cc = build(monkeypatch, tmp_path, "unix",
                     TAVO_EXTRA_CFLAGS="-fsanitize=address -g",
                     TAVO_EXTRA_LDFLAGS="-fsanitize=address")
    assert len(cc.compiles) > 1
    for _, flags in cc.compiles:
        assert flags[-2:] == ["-fsanitize=address", "-g"]
    for _, _, flags in cc.links:
        assert "-fsanitize=address" in flags


def test_codec_library_reused_while_up_to_date(monkeypatch, tmp_path):
    _, _, first = build(monkeypatch, tmp_path, "unix", force=False)
    assert first.archives
    _, _, again = build(monkeypatch, tmp_path, "unix", force=False)
    assert again.archives == []
    assert not [s for sources, _ in again.compiles for s in sources if s.startswith(CODEC)]
    assert len(again.links) == len(first.links)  # the extensions still link it


@pytest.mark.parametrize("version, expression", [("41.2.0", False), ("75.3.2", False),
                                                 ("77.0.3", True), ("80.9.0", True)])
def test_licence_metadata_by_setuptools_version(monkeypatch, version, expression):
    """Setuptools from 77 on writes a licence expression and refuses the
    licence classifier beside it; older ones (the last for 2.7 and 3.8) need
    the classifier."""
    _, kw = load_setup(monkeypatch, setuptools_version=version)
    classifier = "License :: OSI Approved :: MIT License" in kw["classifiers"]
    if expression:
        assert kw["license_expression"] == "MIT" and "license" not in kw and not classifier
    else:
        assert kw["license"] == "MIT" and "license_expression" not in kw and classifier
    assert kw.get("license_files", ["LICENSE"]) == ["LICENSE"]
    assert ("license_files" in kw) == (version != "41.2.0")

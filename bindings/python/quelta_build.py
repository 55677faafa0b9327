"""Build backend for the quelta package, standard library only.

Makes a wheel (and an sdist) of the ``quelta`` folder. The wheel carries
libquelta when one is found: $QUELTA_LIBRARY, else ``quelta/libquelta.so``,
else the newest ``build/*/libquelta.so`` of the source tree (sanitizer builds
excluded, they cannot be loaded into a plain interpreter).
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import sys
import sysconfig
import tarfile
import tomllib
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
LIBRARY_NAME = "libquelta.so"


def _project() -> dict:
    with open(HERE / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _library() -> Path | None:
    env = os.environ.get("QUELTA_LIBRARY")
    if env:
        path = Path(env)
        if not path.is_file():
            raise FileNotFoundError(f"QUELTA_LIBRARY names {env}, which is not a file")
        return path
    bundled = HERE / "quelta" / LIBRARY_NAME
    if bundled.is_file():
        return bundled
    builds = [p for p in HERE.parent.parent.glob(f"build/*/{LIBRARY_NAME}") if "asan" not in p.parent.name]
    return max(builds, key=lambda p: p.stat().st_mtime) if builds else None


def _package_files() -> list[tuple[str, bytes]]:
    out = []
    for path in sorted((HERE / "quelta").iterdir()):
        if path.suffix == ".py" or path.name == "py.typed":
            out.append((f"quelta/{path.name}", path.read_bytes()))
    return out


def _metadata(project: dict) -> bytes:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    body = (HERE / project["readme"]).read_text() if "readme" in project else ""
    return ("\n".join(lines) + "\nDescription-Content-Type: text/markdown\n\n" + body).encode()


def _write_wheel(directory: str, files: list[tuple[str, bytes]], tag: str, purelib: bool) -> str:
    project = _project()
    dist = f"{project['name']}-{project['version']}"
    info = f"{dist}.dist-info"
    wheel = f"Wheel-Version: 1.0\nGenerator: quelta_build\nRoot-Is-Purelib: {str(purelib).lower()}\nTag: {tag}\n"
    files = files + [(f"{info}/METADATA", _metadata(project)), (f"{info}/WHEEL", wheel.encode())]
    record = []
    name = f"{dist}-{tag}.whl"
    with zipfile.ZipFile(Path(directory) / name, "w", zipfile.ZIP_DEFLATED) as zf:
        for arcname, data in files:
            zf.writestr(arcname, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            record.append(f"{arcname},sha256={digest},{len(data)}")
        record.append(f"{info}/RECORD,,")
        zf.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    return name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = _package_files()
    library = _library()
    if library is None:
        print("quelta_build: no libquelta found; the package will need QUELTA_LIBRARY at run time", file=sys.stderr)
        return _write_wheel(wheel_directory, files, "py3-none-any", True)
    files.append((f"quelta/{LIBRARY_NAME}", library.read_bytes()))
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return _write_wheel(wheel_directory, files, f"py3-none-{platform}", False)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The source folder goes on sys.path; the library is found in the build tree.
    return _write_wheel(wheel_directory, [("quelta.pth", f"{HERE}\n".encode())], "py3-none-any", True)


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    dist = f"{project['name']}-{project['version']}"
    names = ["pyproject.toml", "quelta_build.py", "README.md"] + [n for n, _ in _package_files()]
    with tarfile.open(Path(sdist_directory) / f"{dist}.tar.gz", "w:gz") as tf:
        for rel in names:
            data = (HERE / rel).read_bytes()
            entry = tarfile.TarInfo(f"{dist}/{rel}")
            entry.size = len(data)
            entry.mode = 0o644
            tf.addfile(entry, io.BytesIO(data))
        pkg_info = _metadata(project)
        entry = tarfile.TarInfo(f"{dist}/PKG-INFO")
        entry.size = len(pkg_info)
        tf.addfile(entry, io.BytesIO(pkg_info))
    return f"{dist}.tar.gz"

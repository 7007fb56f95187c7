#!/usr/bin/env python3
"""Writes the wheel of the pure-Python package python/velmar without any
build backend: a wheel is a zip file holding the package's files and a
.dist-info folder (METADATA, WHEEL, entry_points.txt, top_level.txt and
RECORD), so the standard library is all it takes. The metadata comes from
python/pyproject.toml; nothing is written into the source tree.

    build_wheel.py SOURCE_DIR OUT_DIR     prints the wheel's path

The file is the same byte for byte from one build to the next: entries in
sorted order, every time stamp SOURCE_DATE_EPOCH (or 1980-01-01).
"""
import base64
import hashlib
import os
import sys
import time
import zipfile

try:
    import tomllib
except ImportError:  # Python before 3.11
    tomllib = None


def read_project(source):
    path = os.path.join(source, "pyproject.toml")
    if tomllib is None:
        sys.exit("build_wheel.py: reading %s needs Python 3.11 or later (tomllib)" % path)
    with open(path, "rb") as f:
        data = tomllib.load(f)
    return data["project"], data.get("tool", {}).get("setuptools", {})


def metadata(project, readme_text):
    lines = [
        "Metadata-Version: 2.1",
        "Name: %s" % project["name"],
        "Version: %s" % project["version"],
        "Summary: %s" % project["description"],
    ]
    if "license" in project:
        lines.append("License: %s" % project["license"].get("text", ""))
    if "requires-python" in project:
        lines.append("Requires-Python: %s" % project["requires-python"])
    lines += ["Classifier: %s" % c for c in project.get("classifiers", [])]
    if readme_text is not None:
        lines.append("Description-Content-Type: text/markdown")
    text = "\n".join(lines) + "\n"
    if readme_text is not None:
        text += "\n" + readme_text
    return text


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def package_files(source, packages, package_data):
    files = []
    for package in packages:
        folder = os.path.join(source, *package.split("."))
        extra = package_data.get(package, [])
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and (name.endswith(".py") or name in extra):
                files.append(("%s/%s" % (package.replace(".", "/"), name), path))
    return files


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: build_wheel.py SOURCE_DIR OUT_DIR")
    source, out_dir = argv[1], argv[2]
    project, setuptools = read_project(source)
    name, version = project["name"], project["version"]
    packages = setuptools.get("packages", [name])
    readme = project.get("readme")
    readme_text = None
    if readme:
        with open(os.path.join(source, readme), encoding="utf-8") as f:
            readme_text = f.read()

    dist_info = "%s-%s.dist-info" % (name, version)
    entries = []
    for arcname, path in package_files(source, packages, setuptools.get("package-data", {})):
        with open(path, "rb") as f:
            entries.append((arcname, f.read()))
    entries.append((dist_info + "/METADATA", metadata(project, readme_text).encode("utf-8")))
    entries.append((dist_info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: velmar build_wheel.py\n"
                                           "Root-Is-Purelib: true\nTag: py3-none-any\n").encode()))
    scripts = project.get("scripts", {})
    if scripts:
        text = "[console_scripts]\n" + "".join("%s = %s\n" % (k, v) for k, v in sorted(scripts.items()))
        entries.append((dist_info + "/entry_points.txt", text.encode()))
    top_level = sorted({p.split(".")[0] for p in packages})
    entries.append((dist_info + "/top_level.txt", "".join(t + "\n" for t in top_level).encode()))
    record = "".join(record_line(n, d) + "\n" for n, d in entries) + dist_info + "/RECORD,,\n"
    entries.append((dist_info + "/RECORD", record.encode()))

    stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800))[:6]
    os.makedirs(out_dir, exist_ok=True)
    wheel = os.path.join(out_dir, "%s-%s-py3-none-any.whl" % (name.replace("-", "_"), version))
    partial = wheel + ".part"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in entries:
            info = zipfile.ZipInfo(arcname, date_time=stamp)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    os.replace(partial, wheel)
    print(wheel)


if __name__ == "__main__":
    main(sys.argv)

#!/usr/bin/python3
"""Writes the winget and Scoop manifests for a release zip (write_manifests in
scripts/release.py) and checks them: against the vendored schemas, against the
rules winget checks beyond its schema, and against the zip itself (its hash,
its files, the machine kronvel.exe is built for). Then plants one fault at a
time in them and checks that each is caught.

Usage: tests/check_manifests.py ZIP     (exit 0 pass, 1 fail, 77 skip)"""
import copy, hashlib, json, pathlib, sys, tempfile, zipfile

try:
    import jsonschema, pefile, yaml
except ImportError as missing:
    print(f"kronvel: skipped: {missing.name} is missing (packages python3-jsonschema, python3-pefile, python3-yaml)")
    sys.exit(77)

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
import release  # noqa: E402
VENDOR = ROOT / "tests" / "vendor"
WINGET = {"version": "", "installer": ".installer", "defaultLocale": ".locale.en-US"}  # type: file suffix
PE_MACHINES = {0x14C: "x86", 0x8664: "x64", 0xAA64: "arm64"}


def write_manifests(zip_path, out):
    version = zip_path.name.removeprefix("kronvel-").removesuffix("-win32.zip")
    release.write_manifests(out, zip_path, "https://example.org/kronvel/download/v" + version,
                            "https://example.org/kronvel/releases")
    folder = out / "manifests" / "k" / "Kronvel" / "Kronvel" / version
    # BaseLoader: every value a string, as winget reads them ("1.10" stays "1.10").
    docs = {kind: yaml.load((folder / f"Kronvel.Kronvel{suffix}.yaml").read_text(), Loader=yaml.BaseLoader)
            for kind, suffix in WINGET.items()}
    docs["scoop"] = json.loads((out / "kronvel.json").read_text())
    return docs


def problems(docs, zip_path):
    found = []
    for kind, doc in docs.items():
        name = "schema.json" if kind == "scoop" else f"manifest.{kind}.1.10.0.json"
        schema_dir = "scoop-manifest-schema" if kind == "scoop" else "winget-manifest-schemas-1.10.0"
        schema = json.loads((VENDOR / schema_dir / name).read_text())
        found += [f"{kind}: {'/'.join(map(str, e.path))}: {e.message}"
                  for e in jsonschema.Draft7Validator(schema).iter_errors(doc)]
    winget = {kind: docs[kind] for kind in WINGET}
    for key in ("PackageIdentifier", "PackageVersion"):
        if len({doc.get(key) for doc in winget.values()}) != 1:
            found.append(f"winget: {key} differs between the files: {[doc.get(key) for doc in winget.values()]}")
    for kind, doc in winget.items():
        if doc.get("ManifestType") != kind:
            found.append(f"{kind}: ManifestType is {doc.get('ManifestType')}")

    # The installers against the zip they name.
    archive = zipfile.ZipFile(zip_path)
    names = archive.namelist()
    digest = hashlib.sha256(zip_path.read_bytes()).hexdigest()
    installer = winget["installer"]
    for entry in installer.get("Installers", []):
        merged = {**installer, **entry}
        if merged.get("InstallerType") == "zip":
            if not merged.get("NestedInstallerType") or not merged.get("NestedInstallerFiles"):
                found.append("installer: a zip installer without NestedInstallerType and NestedInstallerFiles")
            for nested in merged.get("NestedInstallerFiles") or []:
                path = nested.get("RelativeFilePath", "").replace("\\", "/")
                if path not in names:
                    found.append(f"installer: NestedInstallerFiles names {path}, not in the zip")
                elif merged.get("NestedInstallerType") == "portable" and not nested.get("PortableCommandAlias"):
                    found.append(f"installer: {path} has no PortableCommandAlias")
                else:
                    machine = PE_MACHINES.get(pefile.PE(data=archive.read(path), fast_load=True).FILE_HEADER.Machine)
                    if merged.get("Architecture") != machine:
                        found.append(f"installer: Architecture {merged.get('Architecture')}, but {path} is {machine}")
        if str(entry.get("InstallerSha256", "")).lower() != digest:
            found.append(f"installer: InstallerSha256 {entry.get('InstallerSha256')}, the zip's is {digest}")
    scoop = docs["scoop"]
    if scoop.get("hash") != digest:
        found.append(f"scoop: hash {scoop.get('hash')}, the zip's is {digest}")
    if scoop.get("version") != winget["version"].get("PackageVersion"):
        found.append(f"scoop: version {scoop.get('version')}, winget's {winget['version'].get('PackageVersion')}")
    for target, *_ in scoop.get("shortcuts", []):
        if f"{scoop.get('extract_dir')}/{target}" not in names:
            found.append(f"scoop: shortcut to {target} in {scoop.get('extract_dir')}, not in the zip")
    return found


def drop(key, kind):
    return lambda docs: docs[kind].pop(key)


def setter(kind, value, *path):
    def plant(docs):
        target = docs[kind]
        for step in path[:-1]:
            target = target[step]
        target[path[-1]] = value
    return plant


FAULTS = [  # what, how, a word the problem must name
    ("winget licence missing", drop("License", "defaultLocale"), "License"),
    ("Scoop licence missing", drop("license", "scoop"), "license"),
    ("wrong architecture", setter("installer", "x64", "Installers", 0, "Architecture"), "Architecture"),
    ("unknown architecture", setter("installer", "x86-64", "Installers", 0, "Architecture"), "Architecture"),
    ("version differs between the winget files", setter("version", "1.0.1", "PackageVersion"), "PackageVersion"),
    ("zip without its nested installer type", drop("NestedInstallerType", "installer"), "NestedInstallerType"),
    ("nested installer not in the zip", setter("installer", "kronvel.exe", "NestedInstallerFiles", 0,
                                               "RelativeFilePath"), "not in the zip"),
    ("wrong installer hash", setter("installer", "0" * 64, "Installers", 0, "InstallerSha256"), "InstallerSha256"),
    ("wrong Scoop hash", setter("scoop", "0" * 64, "hash"), "hash"),
]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: tests/check_manifests.py ZIP")
    zip_path = pathlib.Path(sys.argv[1]).resolve()
    with tempfile.TemporaryDirectory() as out:
        docs = write_manifests(zip_path, pathlib.Path(out))
    status = 0
    for problem in problems(docs, zip_path):
        print(f"FAILED: the manifests as written: {problem}")
        status = 1
    if status == 0:
        print("ok: the manifests as written pass the schemas and the checks")
    for what, plant, word in FAULTS:
        broken = copy.deepcopy(docs)
        plant(broken)
        caught = [p for p in problems(broken, zip_path) if word in p]
        print(f"ok: {what}: caught: {caught[0]}" if caught else f"FAILED: {what}: not caught")
        status |= not caught
    return status


sys.exit(main())

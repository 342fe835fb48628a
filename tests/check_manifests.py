# The winget and Scoop manifests of a release zip (write_manifests in
# scripts/kronvel_release.py), written and checked by tests/release_test.py: against the
# vendored schemas, against the rules winget checks beyond its schema, and
# against the zip itself (its hash, its files, the machine kronvel.exe is built
# for); then one planted fault at a time, each of which must be caught.
import copy, functools, hashlib, json, operator, pathlib, zipfile

import jsonschema, kronvel_release, pefile, yaml  # kronvel_release: scripts/, on the caller's PYTHONPATH

VENDOR = pathlib.Path(__file__).resolve().parent / "vendor"
WINGET = {"version": "", "installer": ".installer", "defaultLocale": ".locale.en-US"}  # type: file suffix
PE_MACHINES = {0x14C: "x86", 0x8664: "x64", 0xAA64: "arm64"}


def write_manifests(zip_path, out):
    version = zip_path.name.removeprefix("kronvel-").removesuffix("-win32.zip")
    kronvel_release.write_manifests(out, zip_path, "https://example.org/kronvel/download/v" + version,
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
        schema = VENDOR / ("scoop-manifest-schema/schema.json" if kind == "scoop"
                           else f"winget-manifest-schemas-1.10.0/manifest.{kind}.1.10.0.json")
        found += [f"{kind}: {'/'.join(map(str, e.path))}: {e.message}"
                  for e in jsonschema.Draft7Validator(json.loads(schema.read_text())).iter_errors(doc)]
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


FAULTS = [  # what, the manifest, the path to a value, the value planted there (None: the key dropped), a word
    # the problem must name
    ("winget licence missing", "defaultLocale", ["License"], None, "License"),
    ("Scoop licence missing", "scoop", ["license"], None, "license"),
    ("wrong architecture", "installer", ["Installers", 0, "Architecture"], "x64", "Architecture"),
    ("unknown architecture", "installer", ["Installers", 0, "Architecture"], "x86-64", "Architecture"),
    ("version differs between the winget files", "version", ["PackageVersion"], "1.0.1", "PackageVersion"),
    ("zip without its nested installer type", "installer", ["NestedInstallerType"], None, "NestedInstallerType"),
    ("nested installer not in the zip", "installer", ["NestedInstallerFiles", 0, "RelativeFilePath"], "kronvel.exe",
     "not in the zip"),
    ("wrong installer hash", "installer", ["Installers", 0, "InstallerSha256"], "0" * 64, "InstallerSha256"),
    ("wrong Scoop hash", "scoop", ["hash"], "0" * 64, "hash"),
]


def check(zip_path, out, expect):  # expect(what, passed, detail), once for the manifests as written and per fault
    docs = write_manifests(zip_path, out)
    found = problems(docs, zip_path)
    expect("the winget and Scoop manifests as written pass the schemas and the checks", not found, " / ".join(found))
    for what, kind, path, value, word in FAULTS:
        broken = copy.deepcopy(docs)
        target = functools.reduce(operator.getitem, path[:-1], broken[kind])
        if value is None:
            del target[path[-1]]
        else:
            target[path[-1]] = value
        caught = [problem for problem in problems(broken, zip_path) if word in problem]
        expect(f"a planted fault in the manifests is caught: {what}", caught, caught[0] if caught else "not caught")

#!/usr/bin/python3
# What a release zip holds, its build record BUILDINFO.txt, and kronvel.exe's
# signature: shared by scripts/package, scripts/verify-release, scripts/record
# and their tests, so that the packer and the checker cannot disagree.
#
#   release.py buildinfo BUILD VERSION   writes BUILD/BUILDINFO.txt (only when its
#       text changes), the toolchain's lines (scripts/record's) read from stdin
#   release.py check BUILD   BUILD/kronvel.exe has the SHA-256 release/ records (exit 1 if not)
import hashlib, io, json, pathlib, re, subprocess, sys, zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
PRESET = "wine"  # the preset a release is built with

# The release zip's files under its folder kronvel-VERSION-win32, in their
# order, with the most bytes each may hold.
FILES = {"kronvel.exe": 4 << 20, "BUILDINFO.txt": 64 << 10, "README.md": 1 << 20, "LICENSE": 64 << 10,
         "THIRD-PARTY-NOTICES.txt": 1 << 20}
FROM_TREE = ("README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt")


# The version a CMakeLists.txt's text gives the project.
def version(cmakelists):
    return re.search(r"^project\(Kronvel VERSION ([^ )]+)", cmakelists, re.M)[1]


# The CMAKE_BUILD_TYPE a configure preset sets, itself or by what it inherits,
# from CMakePresets.json's text.
def build_type(presets, name=PRESET):
    presets, names = {preset["name"]: preset for preset in json.loads(presets)["configurePresets"]}, [name]
    while names:
        preset = presets[names.pop(0)]
        if "CMAKE_BUILD_TYPE" in preset.get("cacheVariables", {}):
            return preset["cacheVariables"]["CMAKE_BUILD_TYPE"]
        names += [preset["inherits"]] if isinstance(preset.get("inherits"), str) else preset.get("inherits", [])
    return ""


# BUILDINFO.txt's text for the unsigned EXE (bytes) of Kronvel VERSION, built
# from COMMIT (SOURCE says whether as it is) with the preset PRESET of build
# type BUILD_TYPE by TOOLCHAIN, the "build-host:" and "package:" lines that
# scripts/record gives of the build's tools (and release/toolchain.txt holds).
def buildinfo(version, exe, commit, source, preset, build_type, toolchain):
    return f"""# Kronvel build record: how this kronvel.exe was built. One "key: value" a line;
# "package:" lines give a Debian package of the toolchain and its version.
# To check a download, rebuild the commit with these packages and compare (see README).
program: Kronvel {version}
file: kronvel.exe
sha256: {hashlib.sha256(exe).hexdigest()}
size: {len(exe)}
commit: {commit}
source: {source}
preset: {preset}
build-type: {build_type}
{toolchain}"""


# BUILDINFO.txt's values by key, each key's first ("package" lines are many; the
# record is compared whole, with buildinfo()'s text, where it matters).
def read_buildinfo(text):
    info = {}
    for line in text.splitlines():
        if not line.startswith("#") and ": " in line:
            info.setdefault(*line.split(": ", 1))
    return info


# The SHA-256 release/kronvel.exe.sha256 records: in the tree, or at COMMIT.
def recorded(commit=None):
    text = subprocess.run(["git", "-C", ROOT, "show", f"{commit}:release/kronvel.exe.sha256"], capture_output=True,
                          text=True).stdout if commit else (ROOT / "release/kronvel.exe.sha256").read_text()
    return text.split(" ")[0]


# Why EXE (bytes) is not the kronvel.exe the tree records; "" when it is.
def unrecorded(exe):
    built, record = hashlib.sha256(exe).hexdigest(), recorded()
    return "" if built == record else f"kronvel.exe ({built}) is not the recorded release ({record})"


# What signing adds to BUILDINFO.txt: the signed file's hash and the signing
# tool's version (two osslsigncode releases sign the same file with the same key
# differently).
def signed_buildinfo(signed, tool):
    return f"signed-sha256: {hashlib.sha256(signed).hexdigest()}\nsigned-with: {tool}\n"


# The zip's file NAME, made from the file of that name in the source tree: the
# README without what only the source has (its screenshot, from docs/), between
# the markers "<!-- source only" and "<!-- end of source only -->".
def shipped(name, tree_bytes):
    if name != "README.md":
        return tree_bytes
    return re.sub(rb"<!-- source only.*?<!-- end of source only -->\n\n?", b"", tree_bytes, flags=re.S)


# The "Usage:" part of a script's header comment, as the script prints it.
def usage(script):
    return re.search(r"^# (Usage:.*?\n)(?!#)", pathlib.Path(script).read_text(), re.M | re.S)[1].replace("\n# ", "\n")


# A PE image's CheckSum offset, its certificate table entry's offset, and the
# table's file offset and size: what signing sets. ValueError for what is not a PE image.
def pe_fields(image):
    import pefile
    try:
        pe = pefile.PE(data=image, fast_load=True)
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    except (pefile.PEFormatError, IndexError, AttributeError) as error:
        raise ValueError(f"not a PE image ({error})") from None
    return pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"), entry.get_file_offset(), entry.VirtualAddress, \
        entry.Size


# IMAGE without its signature. Signing appends the certificate table at the old
# end of the file (after up to 7 zero bytes, to a multiple of 8; kronvel.exe ends
# on its 512-byte file alignment, so none) and sets the CheckSum and the table's
# entry, both 0 before: cutting the table and zeroing both gives back the file to
# the byte ("osslsigncode remove-signature" leaves a fresh CheckSum).
def unsign(image):
    checksum, entry, at, _ = pe_fields(image)
    if not at:
        return image
    out = bytearray(image[:at])
    out[checksum:checksum + 4], out[entry:entry + 8] = bytes(4), bytes(8)
    return bytes(out)


# The attributes of a release's signature: the signed ones osslsigncode writes
# (content type, signing time, statement type, message digest), and, unsigned,
# at most an RFC 3161 timestamp. Anything else rides along unauthenticated.
SIGNED_ATTRIBUTES = ("1.2.840.113549.1.9.3", "1.2.840.113549.1.9.5", "1.3.6.1.4.1.311.2.1.11", "1.2.840.113549.1.9.4")
TIMESTAMP, NESTED = "1.3.6.1.4.1.311.3.3.1", "1.3.6.1.4.1.311.2.4.1"  # a nested signature's attribute


# Of a WIN_CERTIFICATE's PKCS#7 SignedData: its DER length, the number of
# signatures it holds (its signers and nested ones), the signer's certificate
# (DER; None when the signature does not carry exactly one that matches its
# signer) and what in it a genuine signature does not hold: other attributes,
# certificates off the signer's chain, revocation lists. ValueError for what is
# not a DER SignedData.
def signature(blob):
    from asn1crypto import cms
    try:
        info = cms.ContentInfo.load(blob)
        length = len(info.dump())
        if cms.ContentInfo.load(blob[:length]).dump(force=True) != blob[:length]:
            raise ValueError("the signature is not DER")
        if info["content_type"].native != "signed_data":
            raise ValueError(f"the signature is {info['content_type'].native}, not SignedData")
        data = info["content"]
        signers, certificates = list(data["signer_infos"]), list(data["certificates"] or ())
        problems = ["it carries revocation lists"] if data["crls"] else []
        nested = 0
        for signer in signers:
            signed = [a["type"].dotted for a in signer["signed_attrs"] or ()]
            unsigned = [(a["type"].dotted, len(a["values"])) for a in signer["unsigned_attrs"] or ()]
            nested += sum(count for oid, count in unsigned if oid == NESTED)
            if sorted(signed) != sorted(SIGNED_ATTRIBUTES):
                problems.append(f"signed attributes {', '.join(signed)}")
            if unsigned not in ([], [(TIMESTAMP, 1)]):
                problems.append("unsigned attributes " + ", ".join(f"{oid} ({count})" for oid, count in unsigned))
        if any(c.name != "certificate" for c in certificates):
            raise ValueError("the signature carries certificates of another kind than X.509")
        certificates = [c.chosen for c in certificates]
        sid = signers[0]["sid"].chosen if signers else None
        matches = [c for c in certificates if signers and signers[0]["sid"].name == "issuer_and_serial_number" and
                   c.issuer.dump() == sid["issuer"].dump() and c.serial_number == sid["serial_number"].native]
        if len(matches) > 1:
            problems.append(f"{len(matches)} certificates match its signer's issuer and serial number")
        chain, at = [], matches[0] if len(matches) == 1 else None
        while at is not None and at not in chain:  # the signer and its issuers, as far as they are carried
            chain.append(at)
            at = next((c for c in certificates if c.subject.dump() == at.issuer.dump()), None)
        problems += [f"a certificate off the signer's chain, for {c.subject.human_friendly}"
                     for c in certificates if c not in chain + matches]
    except (ValueError, TypeError, KeyError, IndexError, AttributeError) as error:  # asn1crypto's, reading a bad one
        raise ValueError(f"it is not a SignedData in DER ({error})") from None
    return length, len(signers) + nested, chain[0].dump() if chain else None, problems


# The zip of the release's files FILES (name: bytes) under the folder FOLDER,
# in their order, as bytes: the packer's, and the checker's to compare a
# download with. Every field is set here, none comes from the machine: a fixed
# time, Unix permissions, no extra fields, no folder entries.
def pack(folder, files):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for file, data in files.items():
            entry = zipfile.ZipInfo(f"{folder}/{file}", date_time=(2000, 1, 1, 0, 0, 0))
            entry.create_system = 3  # Unix: the permissions below are read as such
            entry.external_attr = (0o100755 if file.endswith((".exe", ".cmd")) else 0o100644) << 16
            archive.writestr(entry, data)
    return out.getvalue()


# Writes OUT/manifests/k/Kronvel/Kronvel/VERSION/ (winget's three files, laid out
# as in winget-pkgs) and OUT/kronvel.json (Scoop) from the templates in
# release/manifests/, for the release zip ZIP_PATH downloaded from the folder BASE_URL;
# HOMEPAGE is the project's page, which lists its releases.
def write_manifests(out, zip_path, base_url, homepage):
    folder = zip_path.name.removesuffix(".zip")
    version = folder.removeprefix("kronvel-").removesuffix("-win32")
    url, digest = f"{base_url.rstrip('/')}/{zip_path.name}", hashlib.sha256(zip_path.read_bytes()).hexdigest()
    values = {"VERSION": version, "URL": url, "FOLDER": folder, "HOMEPAGE": homepage, "SHA256": digest,
              "SHA256_UPPER": digest.upper(), "URL_OF_VERSION": url.replace(version, "$version"),
              "FOLDER_OF_VERSION": folder.replace(version, "$version"), "DESCRIPTION": re.search(
                  r'^project\(Kronvel .*DESCRIPTION "([^"]*)"', (ROOT / "CMakeLists.txt").read_text(), re.M)[1]}
    winget = out / "manifests/k/Kronvel/Kronvel" / version
    winget.mkdir(parents=True, exist_ok=True)
    for template in (ROOT / "release/manifests").iterdir():
        # Every value stands between double quotes, where JSON's escapes are also YAML's.
        text = re.sub("@([A-Z0-9_]+)@", lambda match: json.dumps(values[match[1]])[1:-1], template.read_text())
        (winget if template.suffix == ".yaml" else out).joinpath(template.name).write_text(text)


if __name__ == "__main__" and sys.argv[1:2] == ["buildinfo"] and len(sys.argv) == 4:
    build, git = pathlib.Path(sys.argv[2]), ("git", "-C", ROOT)
    head = subprocess.run([*git, "rev-parse", "HEAD"], capture_output=True, text=True)
    changed = subprocess.run([*git, "status", "--porcelain", "--untracked-files=no"], capture_output=True).stdout
    cache = (build / "CMakeCache.txt").read_text()
    text = buildinfo(
        sys.argv[3], (build / "kronvel.exe").read_bytes(), head.stdout.strip() if head.returncode == 0 else "unknown",
        "a source tree without git history" if head.returncode else
        "the commit with uncommitted changes (not a release)" if changed else "the commit as it is",
        (re.search("^KRONVEL_PRESET:[A-Z]*=(.+)", cache, re.M) or [0, "none (configured by hand)"])[1],
        (re.search("^CMAKE_BUILD_TYPE:[A-Z]*=(.*)", cache, re.M) or [0, ""])[1], sys.stdin.read())
    if not (build / "BUILDINFO.txt").is_file() or (build / "BUILDINFO.txt").read_text() != text:
        (build / "BUILDINFO.txt").write_text(text)
elif __name__ == "__main__" and sys.argv[1:2] == ["check"] and len(sys.argv) == 3:
    exe = (pathlib.Path(sys.argv[2]) / "kronvel.exe").read_bytes()
    if not unrecorded(exe):
        sys.exit(print(f"kronvel.exe has the recorded SHA-256 {recorded()}"))
    sys.exit(f"{unrecorded(exe)}, with the toolchain the record assumes.\n"
             "Compare it with the released file to see where: cmp -l, or diffoscope for the PE structure.\n"
             "If the program was meant to change, record it: scripts/record write (and commit release/).")
elif __name__ == "__main__":
    sys.exit("usage: release.py buildinfo BUILD VERSION   (the toolchain's lines on stdin) | check BUILD")

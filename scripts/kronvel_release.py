#!/usr/bin/python3
"""The release of kronvel.exe, in one place: the toolchain that builds it (its
Debian packages, read from dpkg), its build record BUILDINFO.txt, the release
record in release/ (the toolchain it assumes, kronvel.exe's SHA-256, the runtime
objects linked into it), the canonical zip and its one reader, signing and
unsigning, the winget and Scoop manifests, a rebuild in another folder, and the
check of a downloaded zip. The packer and the checker share this code, so they
cannot disagree. scripts/package and scripts/verify-release are its commands
"package" and "verify"; each command's --help says what it does."""
import argparse, contextlib, difflib, fcntl, hashlib, io, json, os, pathlib, platform, re, shutil, signal, ssl, \
    stat, struct, subprocess, sys, tarfile, tempfile, time, zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
PRESET = "wine"  # the preset a release is built with
# The release zip's files under its folder kronvel-VERSION-win32, in their
# order, with the most bytes each may hold.
FILES = {"kronvel.exe": 4 << 20, "BUILDINFO.txt": 64 << 10, "README.md": 1 << 20, "LICENSE": 64 << 10,
         "THIRD-PARTY-NOTICES.txt": 1 << 20}
FROM_TREE = ("README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt")
ZIP_BOUND = 64 << 20  # bytes: well over what the release's files, at their bounds, pack to


def say(text):
    print(f"kronvel: {text}", file=sys.stderr)


def sha(data):
    return hashlib.sha256(data).hexdigest()


# A command's exit status and output (its errors too, unless ERRORS says where
# they go). It runs in a process group of its own, which goes whole when the
# caller stops (a signal), builds' compilers included. With CHECK, a failure
# ends the program, with the command's output and which command it was.
def run(*command, data=None, cwd=ROOT, errors=subprocess.STDOUT, check=False):
    with subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors, cwd=cwd,
                          start_new_session=True) as process:
        try:
            out = process.communicate(data)[0].decode(errors="replace")
        except BaseException:  # a signal: the group goes, unless it has already gone by itself
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            raise
    if check and process.returncode:
        sys.exit(f"{out}kronvel: failed (exit status {process.returncode}): {' '.join(map(str, command))}")
    return process.returncode, out


# Configures and builds the release's preset (TARGETS of it), one build at a
# time in this tree: scripts/test holds the same lock.
def build_preset(*targets):
    say(f"building build/{PRESET}")
    (ROOT / "build").mkdir(exist_ok=True)
    with open(ROOT / "build/.build.lock", "a") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            say(f"waiting for another build in this tree to finish ({lock.name})")
            fcntl.flock(lock, fcntl.LOCK_EX)
        run("cmake", "--preset", PRESET, errors=None, check=True)
        run("cmake", "--build", "--preset", PRESET, "--target", *targets, errors=None, check=True)


# "build-host: SYSTEM, MACHINE", then "package: NAME VERSION" for each Debian
# package that owns a tool the build in BUILD used (listed by CMake in
# toolchain-tools.txt: compilers, resource compiler, linker driver, CMake), a
# file the compiler uses (its passes, assembler, linker, runtime libraries,
# headers), or what a link points to. One dpkg-query for all the files: each
# call reads the whole file database.
def toolchain(build):
    host = f"build-host: {platform.freedesktop_os_release().get('PRETTY_NAME', '')}, {platform.machine()}\n"
    if not shutil.which("dpkg-query"):
        return host + "package: (not a Debian system: no package versions)\n"
    tools = (pathlib.Path(build) / "toolchain-tools.txt").read_text().splitlines()
    asked = [f"-print-prog-name={name}" for name in ("cc1plus", "as", "ld")] + ["-print-libgcc-file-name"] + [
        f"-print-file-name={name}" for name in ("libssp.a", "libstdc++.a", "crt2.o", "libmingw32.a", "libmingwex.a",
                                                "libmsvcrt.a", "libpthread.a")]
    files = tools + run(tools[0], "-print-prog-name=cc1", errors=None)[1].splitlines() + [
        line for option in asked for line in run(tools[1], option, errors=None)[1].splitlines()] + re.findall(
        r"[^ \n]*/windows\.h", run(tools[1], "-x", "c++", "-M", "-", data=b"#include <windows.h>\n", errors=None)[1])
    owners = run("dpkg-query", "-S", *files, *map(os.path.realpath, files), errors=subprocess.DEVNULL)[1]
    names = [name for line in owners.splitlines() for name in line.split(":", 1)[0].split()]
    return host + (run("dpkg-query", "-W", "-f=package: ${Package} ${Version}\n", *names, errors=None)[1]
                   if names else "")


# The bytes of the source's file PATH: in the tree, or at COMMIT (none when it has no such file).
def source_file(path, commit=None):
    return subprocess.run(["git", "show", f"{commit}:{path}"], capture_output=True, cwd=ROOT).stdout if commit \
        else (ROOT / path).read_bytes()


def recorded(name, commit=None):  # the text of release/NAME, the release record
    return source_file(f"release/{name}", commit).decode()


def recorded_sha256(commit=None):
    return recorded("kronvel.exe.sha256", commit).split(" ")[0]


def toolchain_lines(text):  # the "build-host:" and "package:" lines of a record
    return [line for line in text.splitlines() if line.startswith(("build-host: ", "package: "))]


# How the toolchain TEXT differs from the one release/toolchain.txt records:
# "recorded: ..." and "used here: ..." for each line that differs; none when it is the one.
def toolchain_differences(text):
    return [f"{'recorded' if line[0] == '-' else 'used here'}: {line[2:].removeprefix('package: ')}" for line in
            difflib.ndiff(toolchain_lines(recorded("toolchain.txt")), toolchain_lines(text)) if line[0] in "-+"]


# Why EXE (bytes) is not the kronvel.exe the tree records; "" when it is.
def unrecorded(exe):
    built, record = sha(exe), recorded_sha256()
    return "" if built == record else f"kronvel.exe ({built}) is not the recorded release ({record})"


# The third-party objects in lld's map of kronvel.exe (input sections start in
# its 33rd column): runtime objects with code, then the import libraries whose
# stubs (libNAMEs00042.o, and the head and tail libNAMEh.o, libNAMEt.o) it holds.
def linked_runtime(map_text):
    inputs = sorted({os.path.basename(match[1]) for line in map_text.splitlines()[1:] if (match := re.fullmatch(
        r".{24} {8}([^ ].*):\([^()]*\)", line)) and not match[1].endswith((".obj", ".res"))})  # the program's own
    stub = re.compile(r"(lib[a-z0-9_]+)(s[0-9]+|h|t)\.o")
    return "".join(f"{line}\n" for line in [
        "# The third-party objects linked into kronvel.exe, from the linker's map",
        "# (scripts/kronvel_release.py check checks it); THIRD-PARTY-NOTICES.txt covers them.", "# Objects with code:",
        *(name for name in inputs if not stub.fullmatch(name)), "# Import libraries whose stubs it holds:",
        *sorted({match[1] for match in map(stub.fullmatch, inputs) if match})])


def write_record(_):
    """Build the wine preset and write the release record, release/, from it.

The toolchain it assumes (toolchain.txt), the SHA-256 of kronvel.exe, and the
third-party runtime objects the linker put into it (linked-runtime.txt, which
THIRD-PARTY-NOTICES.txt covers). Commit it with the change to the program."""
    build_preset("kronvel")
    build = ROOT / "build" / PRESET
    (ROOT / "release/toolchain.txt").write_text(
        "# The toolchain the release record assumes: its host, and Debian packages and\n# versions (written by "
        "scripts/kronvel_release.py record from the build's own tools).\n" + toolchain(build))
    (ROOT / "release/kronvel.exe.sha256").write_text(f"{sha((build / 'kronvel.exe').read_bytes())}  kronvel.exe\n")
    before = recorded("linked-runtime.txt")
    (ROOT / "release/linked-runtime.txt").write_text(linked_runtime((build / "kronvel.map").read_text()))
    say(f"recorded kronvel.exe {recorded_sha256()} in release/")
    if before != recorded("linked-runtime.txt"):
        say("the linked runtime changed: review THIRD-PARTY-NOTICES.txt")


def check_record(args):
    """Check that BUILD is the release the tree records (the release_record test).

Its kronvel.exe has the recorded SHA-256 and links the recorded runtime objects
(exit 1 when not). Where the toolchain is not the recorded one it exits 77, a
skip to CTest, naming the packages that differ: another toolchain gives other
bytes, and that is no fault."""
    differences = toolchain_differences(toolchain(args.build))
    if differences:
        print("kronvel: skipped: this toolchain is not the one release/toolchain.txt records, so its bytes may "
              f"differ: {'; '.join(differences)}")
        return 77
    why = unrecorded((args.build / "kronvel.exe").read_bytes())
    if why:
        print(f"{why}, with the toolchain the record assumes.\nCompare it with the released file to see where: cmp -l, "
              "or diffoscope for the PE structure.\nIf the program was meant to change, record it: "
              "scripts/kronvel_release.py record (and commit release/).", file=sys.stderr)
    else:
        print(f"kronvel.exe has the recorded SHA-256 {recorded_sha256()}")
    recorded_runtime = recorded("linked-runtime.txt")
    linked = linked_runtime((args.build / "kronvel.map").read_text())
    if linked == recorded_runtime:
        print(f"kronvel.exe links the recorded runtime objects ({sum(line[:1] != '#' for line in linked.splitlines())} "
              "lines)")
    else:
        sys.stdout.writelines(difflib.unified_diff(recorded_runtime.splitlines(True), linked.splitlines(True),
                                                   "release/linked-runtime.txt", "linked now"))
        print("The runtime objects linked into kronvel.exe have changed (above: - recorded, + linked now).\n"
              "Review THIRD-PARTY-NOTICES.txt for what they bring, then record them: "
              "scripts/kronvel_release.py record.")
    return 1 if why or linked != recorded_runtime else 0


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
# type BUILD_TYPE by TOOLCHAIN, the "build-host:" and "package:" lines of
# toolchain() (which release/toolchain.txt holds).
def buildinfo(version, exe, commit, source, preset, build_type, toolchain):
    return f"""# Kronvel build record: how this kronvel.exe was built. One "key: value" a line;
# "package:" lines give a Debian package of the toolchain and its version.
# To check a download, rebuild the commit with these packages and compare (see README).
program: Kronvel {version}
file: kronvel.exe
sha256: {sha(exe)}
size: {len(exe)}
commit: {commit}
source: {source}
preset: {preset}
build-type: {build_type}
{toolchain}"""


# BUILDINFO.txt's values by key, each key's first ("package" lines are many; the
# record is compared whole, with buildinfo()'s text, where it matters).
def read_buildinfo(text):
    return dict(line.split(": ", 1) for line in reversed(text.splitlines()) if ": " in line and line[:1] != "#")


def write_buildinfo(args):
    """Write BUILD/BUILDINFO.txt for Kronvel VERSION (the build's kronvel_buildinfo target).

The build record that ships beside kronvel.exe, written only when its text changes."""
    head = run("git", "rev-parse", "HEAD", errors=subprocess.DEVNULL)
    changed = run("git", "status", "--porcelain", "--untracked-files=no", errors=subprocess.DEVNULL)[1]
    cache = (args.build / "CMakeCache.txt").read_text()
    text = buildinfo(
        args.version, (args.build / "kronvel.exe").read_bytes(), head[1].strip() if head[0] == 0 else "unknown",
        "a source tree without git history" if head[0] else
        "the commit with uncommitted changes (not a release)" if changed else "the commit as it is",
        (re.search("^KRONVEL_PRESET:[A-Z]*=(.+)", cache, re.M) or [0, "none (configured by hand)"])[1],
        (re.search("^CMAKE_BUILD_TYPE:[A-Z]*=(.*)", cache, re.M) or [0, ""])[1], toolchain(args.build))
    if not (args.build / "BUILDINFO.txt").is_file() or (args.build / "BUILDINFO.txt").read_text() != text:
        (args.build / "BUILDINFO.txt").write_text(text)


# What signing adds to BUILDINFO.txt: the signed file's hash and the signing
# tool's version (two osslsigncode releases sign the same file with the same key
# differently).
def signed_buildinfo(signed, tool):
    return f"signed-sha256: {sha(signed)}\nsigned-with: {tool}\n"


# The zip's file NAME, made from the file of that name in the source tree: the
# README without what only the source has (its screenshot, from docs/), between
# the markers "<!-- source only" and "<!-- end of source only -->".
def shipped(name, tree_bytes):
    return re.sub(rb"<!-- source only.*?<!-- end of source only -->\n\n?", b"", tree_bytes, flags=re.S) \
        if name == "README.md" else tree_bytes


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
def read_signature(blob):
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
# time, Unix permissions, no extra fields, no folder entries. Each entry is
# stored, not deflated: the checker packs a download's files again and compares
# the two to the byte, and a deflate stream depends on the zlib build that
# writes it (zlib and zlib-ng give different bytes), so a deflated release would
# fail the check of genuine downloads on machines whose Python has another zlib.
def pack(folder, files):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for file, data in files.items():
            entry = zipfile.ZipInfo(f"{folder}/{file}", date_time=(2000, 1, 1, 0, 0, 0))
            entry.compress_type = zipfile.ZIP_STORED
            entry.create_system = 3  # Unix: the permissions below are read as such
            entry.external_attr = (0o100755 if file.endswith((".exe", ".cmd")) else 0o100644) << 16
            archive.writestr(entry, data)
    return out.getvalue()


# A zip's records, read by hand beside zipfile (which forgives what the checker
# must see): each entry's local header (LOCAL's fields), name, extra field and
# data, and its central record (CENTRAL's), name, extra field and comment, from
# the central directory the end record names. struct.error for what is too short.
LOCAL, CENTRAL, END = "<4s5H3I2H", "<4s6H3I5H2I", "<4s4H2IH"


def records(data):
    entries, at = [], struct.unpack(END, data[-22:])[6]
    while data[at:at + 4] == b"PK\1\2":
        central = list(struct.unpack_from(CENTRAL, data, at))
        name, extra, comment = (data[at + 46 + sum(central[10:10 + n]):][:central[10 + n]] for n in range(3))
        at, local = at + 46 + sum(central[10:13]), list(struct.unpack_from(LOCAL, data, central[16]))
        lname, lextra, body = (data[central[16] + 30 + sum(local[9:9 + n]):][:(local[9:11] + [central[8]])[n]]
                               for n in range(3))
        entries.append(dict(local=local, lname=lname, lextra=lextra, body=body, central=central, name=name,
                            extra=extra, comment=comment))
    return entries


# The zip of ENTRIES, records() as read or edited, each record right after the
# other, their lengths and offsets set from what they hold: the bytes read when
# nothing lies between or beyond them.
def rezip(entries, comment=b""):
    out, directory = b"", b""
    for e in entries:
        local, central = e["local"][:], e["central"][:]
        local[7], local[9:11] = len(e["body"]), [len(e["lname"]), len(e["lextra"])]
        central[8], central[10:13], central[16] = len(e["body"]), [len(e[k]) for k in ("name", "extra", "comment")], \
            len(out)
        out += struct.pack(LOCAL, *local) + e["lname"] + e["lextra"] + e["body"]
        directory += struct.pack(CENTRAL, *central) + e["name"] + e["extra"] + e["comment"]
    return out + directory + struct.pack(END, b"PK\5\6", 0, 0, len(entries), len(entries), len(directory), len(out),
                                         len(comment)) + comment


# Writes OUT/manifests/k/Kronvel/Kronvel/VERSION/ (winget's three files, laid out
# as in winget-pkgs) and OUT/kronvel.json (Scoop) from the templates in
# release/manifests/, for the release zip ZIP_PATH downloaded from the folder BASE_URL.
def write_manifests(out, zip_path, base_url, homepage):
    folder = zip_path.name.removesuffix(".zip")
    version = folder.removeprefix("kronvel-").removesuffix("-win32")
    url, digest = f"{base_url.rstrip('/')}/{zip_path.name}", sha(zip_path.read_bytes())
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


# IMAGE signed (Authenticode, SHA-256), and the signing tool's version, with the key of a
# PKCS#12 file (KEY: the file, its password file) or of a PKCS#11 token (the
# module's library, the certificate file, the key's "pkcs11:" URI, a file
# holding the PIN), at the commit's time, so that one key and one osslsigncode
# release sign the same file to the same bytes; with TIMESTAMP, a URL, adds an
# RFC 3161 timestamp. Refuses a signer's certificate that has expired, is not
# valid yet, or has extended key usages without code signing. The key's files
# are the caller's, where it runs (cwd=None).
def sign(image, key, timestamp):
    if len(key) == 2:  # a PKCS#12 file and its password file
        signer = ("-pkcs12", key[0])
        pem = run("openssl", "pkcs12", "-in", key[0], "-passin", f"file:{key[1]}", "-nokeys", "-clcerts", cwd=None,
                  errors=None, check=True)[1]
    else:
        signer = ("-pkcs11module", key[0], "-certs", key[1], "-key", key[2])
        pem = run("openssl", "x509", "-in", key[1], cwd=None, errors=None, check=True)[1]
    start, end, *usage = run("openssl", "x509", "-noout", "-startdate", "-enddate", "-ext", "extendedKeyUsage",
                             data=pem.encode(), errors=subprocess.DEVNULL, check=True)[1].splitlines()
    usage = ",".join(line.lstrip(" ") for line in usage[1:])
    if ssl.cert_time_to_seconds(start.partition("=")[2]) > time.time():
        sys.exit(f"kronvel: the signer's certificate is not valid yet: {start}")
    if ssl.cert_time_to_seconds(end.partition("=")[2]) <= time.time():
        sys.exit(f"kronvel: the signer's certificate has expired: {end}")
    if usage and "Code Signing" not in usage:
        sys.exit(f"kronvel: the signer's certificate is not for code signing: its extended key usage is {usage}")
    when = run("git", "log", "-1", "--format=%ct", errors=None, check=True)[1].strip()
    with tempfile.TemporaryDirectory() as stage:
        status, log = run("osslsigncode", "sign", "-h", "sha256", "-time", when,
                          *(("-ts", timestamp) if timestamp else ()), *signer, "-readpass", key[-1], "-in", image,
                          "-out", f"{stage}/signed.exe", cwd=None)
        # It can report a failure (a timestamp, say) and still exit 0: read what it says.
        log = log.rstrip("\n")
        if status or log.split("\n")[-1] != "Succeeded" or re.search("fail|error", log, re.I):
            sys.exit(f"{log}\nkronvel: signing {image} failed")
        signed = pathlib.Path(stage, "signed.exe").read_bytes()
    return signed, run("osslsigncode", "--version", errors=None, check=True)[1].splitlines()[0].removesuffix(", using:")


def package(args):
    """Pack a release (scripts/package).

From the wine preset's build: OUT/kronvel-VERSION-win32.zip
(kronvel.exe, its build record BUILDINFO.txt, the README, the licence and the
third-party notices) with its SHA-256 sum beside it, and the test bundle
OUT/kronvel-VERSION-win32-tests.zip (the same kronvel.exe, the 32-bit test
programs and run-tests.cmd, which runs them on any Windows). The same build
gives the same zips to the byte, whoever packs them under whatever umask:
each entry's permissions, time and place are set here."""
    if args.base_url and not args.homepage:
        args.parser.error("--base-url needs --homepage, a page that lists the releases")
    if args.build_first:
        build_preset("kronvel", "kronvel_buildinfo", "unit_tests", "exe_tests")
    build, out, tests = args.build.resolve(), args.out.resolve(), ("tests/unit_tests.exe", "tests/exe_tests.exe")
    for file in ("kronvel.exe", "BUILDINFO.txt", *tests):
        if not (build / file).is_file():
            sys.exit(f"kronvel: no {build / file}: build the {PRESET} preset first")
    exe, info = (build / "kronvel.exe").read_bytes(), (build / "BUILDINFO.txt").read_bytes()
    values = read_buildinfo(text := info.decode(errors="replace"))
    if not args.unrecorded:
        if why := unrecorded(exe):
            sys.exit(f"kronvel: {why}: record it (scripts/kronvel_release.py record) or build with the\n"
                     "kronvel: recorded toolchain (release/toolchain.txt)")
        if differences := toolchain_differences(text):
            sys.exit("kronvel: BUILDINFO.txt's toolchain is not the one release/toolchain.txt records: " +
                     "; ".join(differences))
        if values.get("source") != "the commit as it is":
            sys.exit(f"kronvel: not a release: BUILDINFO.txt says source: {values.get('source')}")
    name = f"kronvel-{values.get('program', '').removeprefix('Kronvel ')}-win32"
    if args.key:
        signed, tool = sign(build / "kronvel.exe", args.key, args.timestamp)
        if unsign(signed) != exe:
            sys.exit("kronvel: signing changed more than the signature: not packing")
        info, exe = info + signed_buildinfo(signed, tool).encode(), signed
    out.mkdir(parents=True, exist_ok=True)
    release = {"kronvel.exe": exe, "BUILDINFO.txt": info} | {
        file: shipped(file, source_file(file)) for file in FROM_TREE}
    bundle = {"kronvel.exe": exe} | {
        path.name: path.read_bytes() for path in (*(build / file for file in tests), ROOT / "tests/run-tests.cmd")}
    for folder, files in ((name, release), (f"{name}-tests", bundle)):
        (out / f"{folder}.zip").write_bytes(pack(folder, files))
        say(f"packed {out}/{folder}.zip")
    digest = f"{sha((out / f'{name}.zip').read_bytes())}  {name}.zip\n"
    (out / f"{name}.zip.sha256").write_text(digest)
    if args.base_url:
        write_manifests(out, out / f"{name}.zip", args.base_url, args.homepage)
    print(digest, end="")


# kronvel.exe built afresh with the release's preset in WORK/another-source-folder,
# from the tree of COMMIT (as git holds it) or, without one, from this source
# tree as it is (in a git work tree the files git would commit, elsewhere
# everything but build/, dist/ and .git/): its bytes, or ValueError saying why not.
def rebuild(work, commit=None):
    source = pathlib.Path(work, "another-source-folder")
    if commit:
        archive = subprocess.run(["git", "archive", commit], cwd=ROOT, capture_output=True, check=True).stdout
        tarfile.open(fileobj=io.BytesIO(archive)).extractall(source)
    elif run("git", "rev-parse", "--is-inside-work-tree", errors=subprocess.DEVNULL)[0] == 0:
        for name in run("git", "ls-files", "-z", "--cached", "--others", "--exclude-standard", check=True)[1] \
                .split("\0")[:-1]:
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, source / name)
    else:
        shutil.copytree(ROOT, source, symlinks=True,
                        ignore=lambda folder, _: {"build", "dist", ".git"} if pathlib.Path(folder) == ROOT else ())
    for command in (("cmake", "--preset", PRESET), ("cmake", "--build", "--preset", PRESET, "--target", "kronvel")):
        status, log = run(*command, cwd=source)
        if status:
            raise ValueError(f"no build: {log[-300:]}")
    return (source / "build" / PRESET / "kronvel.exe").read_bytes()


def check_rebuild(args):
    """Check that kronvel.exe built again is BUILD's (the reproducible_build test).

It builds from a copy of this source tree in a folder of another name, and
compares the two to the byte."""
    built = (args.build / "kronvel.exe").read_bytes()
    with tempfile.TemporaryDirectory() as work:
        try:
            again = rebuild(work)
        except (ValueError, OSError, subprocess.CalledProcessError) as error:
            return print(f"not reproducible: no second build: {error}") or 1
    print(f"{sha(built)}  {args.build / 'kronvel.exe'}\n{sha(again)}  another-source-folder/build/{PRESET}/kronvel.exe")
    print("reproducible: both builds are identical" if built == again else
          "not reproducible: the two builds differ (diffoscope FILE1 FILE2 shows where, in PE terms)")
    return 0 if built == again else 1


failed = []  # the checks of verify-release that failed


def shown(text):  # with what a terminal would act on, and backslashes, escaped
    return "".join(c if c.isprintable() and c != "\\" else repr(c)[1:-1] for c in str(text))


def check(what, passed, detail):
    print(shown(f"{'ok' if passed else 'FAILED'}: {what}: {detail}"), flush=True)
    if not passed:
        failed.append(what)
    return passed


# A regular file's first LIMIT bytes, all it holds; opened without blocking
# (on a FIFO, a device), and ValueError for what is not a regular file or is larger.
def read(path, limit):
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        if not stat.S_ISREG(mode := os.fstat(descriptor).st_mode):
            raise ValueError(f"not a regular file but a {KINDS.get(stat.S_IFMT(mode), 'file of mode %o' % mode)}")
        with open(descriptor, "rb", closefd=False) as file:
            data = file.read(limit + 1)
    finally:
        os.close(descriptor)
    if len(data) > limit:
        raise ValueError(f"more than the {limit} bytes a release can be: not read")
    return data


KINDS = {stat.S_IFIFO: "FIFO", stat.S_IFCHR: "character device", stat.S_IFBLK: "block device",
         stat.S_IFDIR: "folder", stat.S_IFSOCK: "socket"}


# The release's folder and its files' entries by name, when the entries are exactly those; else False.
def listing(archive, data):
    entries = archive.infolist()
    folder = entries[0].filename.split("/")[0] if entries else ""
    if not re.fullmatch(r"kronvel-[0-9][0-9A-Za-z.+~-]*-win32", folder):
        return check("entries", False, f"the first is not in a folder kronvel-VERSION-win32: {folder}")
    allowed = {f"{folder}/{name}": name for name in FILES}
    problems, seen, found = [], {}, {}
    for entry in entries:
        name, mode = entry.orig_filename, entry.external_attr >> 16  # as stored, even past a NUL
        key = name.replace("\\", "/").casefold()  # one file to Windows
        if key in seen:
            problems.append(f"{name} is {seen[key]} again, to Windows")
        elif name.startswith(("/", "\\")) or ".." in key.split("/") or re.match("[a-z]:", key):
            problems.append(f"{name} is outside the folder")
        elif name not in allowed:
            problems.append(f"{name} is not a file of the release")
        elif entry.is_dir() or (mode and not stat.S_ISREG(mode)) or entry.external_attr & 0x10:
            problems.append(f"{name} is not a regular file (mode {mode:o})")
        elif entry.file_size > (bound := FILES[allowed[name]]):
            problems.append(f"{name} unpacks to {entry.file_size} bytes, more than the {bound} allowed")
        else:
            found[allowed[name]] = entry
        seen.setdefault(key, name)
    problems += [f"{folder}/{name} is missing" for name in FILES if f"{folder}/{name}".casefold() not in seen]
    # The records follow each other, nothing hidden between or after them, each local header as the listing says.
    try:
        walked = records(data)
        sound = rezip(walked) == data and archive.start_dir == struct.unpack(END, data[-22:])[6] and \
            [(e.header_offset, e.CRC, e.compress_size, e.file_size) for e in entries] == \
            [(e["central"][16], *e["local"][6:9]) for e in walked]
    except struct.error:
        sound = False
    if not sound:
        problems.append("the archive holds bytes outside its entries' records, or records unlike its listing")
    return check("entries", not problems, "; ".join(problems) or f"{folder}/: {', '.join(FILES)}") and (folder, found)


# Where the commit COMMIT is in the project's history (HEAD, a tag, a branch of
# "origin"): the refs that reach it; none when they do not, or it is no commit here.
def history(commit):
    if not re.fullmatch("[0-9a-f]{40}", commit) or run("git", "cat-file", "-e", f"{commit}^{{commit}}")[0]:
        return None
    refs = run("git", "for-each-ref", "--contains", commit, "--format=%(refname)", "refs/tags", "refs/remotes/origin")
    return (["HEAD"] if run("git", "merge-base", "--is-ancestor", commit, "HEAD")[0] == 0 else []) + refs[1].split()


def check_signature(exe, at, size, cert, stamp_cert, work):
    length, revision, kind = struct.unpack_from("<IHH", exe + bytes(8), at)
    blob = exe[at + 8:at + length]
    try:
        der, count, signer, problems = read_signature(blob)
    except ValueError as error:
        return check("certificate table", False, f"its signature cannot be read: {error}")
    check("certificate table", at + size == len(exe) and length == size and (revision, kind) == (0x200, 2) and
          0 <= length - 8 - der <= 7 and not any(blob[der:]),
          f"{size} bytes after the build's {at}, to the end of the {len(exe)}; WIN_CERTIFICATE of {length} bytes "
          f"(revision {revision:#x}, type {kind}): a signature of {der} bytes and {length - 8 - der} more")
    check("signature count", count == 1, f"{count} (the signers and nested signatures); a release has one")
    check("signature contents", not problems, "; ".join(problems) or "what a release's signature holds, no more")
    # The one certificate that matches the signer, the one osslsigncode verifies with.
    who = "nobody known (the signature does not carry one certificate that matches its signer)"
    if signer:
        who = run("openssl", "x509", "-inform", "DER", "-noout", "-subject", "-nameopt", "RFC2253",
                  data=signer)[1].strip().removeprefix("subject=")
        who += ", SHA-256 fingerprint " + ":".join(re.findall("..", sha(signer).upper()))
    (copy := pathlib.Path(work, "kronvel.exe")).write_bytes(exe)
    status, log = run("osslsigncode", "verify", *(("-CAfile", cert) if cert else ()),
                      *(("-TSA-CAfile", stamp_cert) if stamp_cert else ()), "-in", copy)
    # Index 0 is the primary signature; osslsigncode exits 0 even when the timestamp fails.
    verdicts = re.findall(r"^Signature verification: (\S+)", log, re.M)
    errors = sorted({line.strip() for line in log.splitlines() if re.search("error|fail", line, re.I)})
    check("signature", status == 0 and verdicts[:1] == ["ok"] and not errors,
          f"by {who}: " + ("; ".join(errors[:3]) or
                           f"its chain ends at {'the certificates in ' + cert if cert else 'a trusted root here'}"))
    stamp = re.search(r"Timestamp time: (.*)|Timestamp is not available", log)
    check("timestamp", not re.search("^Timestamp Server Signature verification: (?!ok)", log, re.M),
          (stamp and stamp[1]) or "none")


def verify(path, cert, stamp_cert, rebuilding, work):
    name = os.path.basename(path)
    try:
        data = read(path, ZIP_BOUND)  # once: every check below is of these bytes
    except (OSError, ValueError) as error:
        return check("the zip", False, f"{path}: {error.strerror if isinstance(error, OSError) else error}")
    try:
        listed = read(path + ".sha256", 4096).decode(errors="replace").split(" ")[0].strip().lower()
    except (OSError, ValueError) as error:
        listed = "no .sha256 beside it" if isinstance(error, FileNotFoundError) else f"nothing readable ({error})"
    check("the zip's SHA-256", sha(data) == listed, f"{sha(data)}, and {name}.sha256 says {listed}")
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile as error:
        return check("entries", False, f"not a zip archive ({error})")
    if not (listed := listing(archive, data)):
        return
    folder, entries = listed
    files = {}
    for file, entry in entries.items():
        try:
            files[file] = archive.read(entry)  # no more than the size the listing declares, its CRC checked
        except Exception as error:
            return check("unpacking", False, f"{entry.filename}: {error}")

    info = read_buildinfo(files["BUILDINFO.txt"].decode(errors="replace"))
    commit, head = info.get("commit", ""), run("git", "rev-parse", "HEAD")[1].strip()
    refs = history(commit)
    check("the commit", refs, (f"{commit}, the one checked out" if commit == head else f"{commit}, in the project's "
                               f"history ({refs[0]}), compared with its tree, not the checked-out {head}") if refs else
          f"{commit}, not in the project's history: HEAD, the tags and origin's branches do not reach it" if refs == []
          else f"\"{commit}\" is not a commit of this clone (fetch it, or clone the project anew)")
    tree = commit if refs else "HEAD"
    show = lambda file: source_file(file, tree)
    source_version = re.search(r"^project\(Kronvel VERSION ([^ )]+)", show("CMakeLists.txt").decode(), re.M)[1]
    named = re.fullmatch(r"kronvel-(.*)-win32(?: ?[(\[][0-9]+[)\]])?\.zip", name)  # a browser numbers a second copy
    says = {"the zip's name": named[1] if named else name, "its folder": folder[8:-6],
            "BUILDINFO.txt": info.get("program", "").removeprefix("Kronvel ")}
    check("version", set(says.values()) == {source_version},
          f"{', '.join(f'{key} says {value}' for key, value in says.items())}; the source at commit {tree} is "
          f"{source_version}")
    for file in FROM_TREE:
        same = files[file] == shipped(file, show(file))
        check(file, same, f"as at commit {tree}" if same else f"differs from the tree at commit {tree}")

    exe = files["kronvel.exe"]
    try:
        _, _, at, size = pe_fields(exe)
        unsigned = unsign(exe)
    except ValueError as error:
        return check("kronvel.exe", False, error)
    if not at:
        check("signature", not cert, "none, but --cert was given: kronvel.exe must carry a signature that verifies"
              if cert else "none (kronvel.exe is not signed)")
    else:
        check_signature(exe, at, size, cert, stamp_cert, work)
    check("BUILDINFO.txt signed-sha256", info.get("signed-sha256") == (at and sha(exe) or None),
          f"{info.get('signed-sha256', 'none')}; kronvel.exe " + (f"has {sha(exe)}" if at else "is not signed"))
    check("BUILDINFO.txt signed-with", bool(info.get("signed-with")) == bool(at), info.get("signed-with", "none"))
    record = recorded_sha256(tree)
    check("kronvel.exe (unsigned) against release/kronvel.exe.sha256", sha(unsigned) == record,
          f"{sha(unsigned)}, recorded at commit {tree}: {record}")
    check("BUILDINFO.txt sha256", info.get("sha256") == sha(unsigned), f"\"{info.get('sha256')}\"; kronvel.exe "
          f"(unsigned) has {sha(unsigned)}")
    check("BUILDINFO.txt size", info.get("size") == str(len(unsigned)), f"\"{info.get('size')}\"; kronvel.exe "
          f"(unsigned) has {len(unsigned)} bytes")
    # The record the commit gives: its toolchain is release/toolchain.txt's; the signing tool is any osslsigncode.
    tool = info.get("signed-with", "") if re.fullmatch(r"osslsigncode [0-9][0-9.]*", info.get("signed-with", "")) \
        else "osslsigncode VERSION"
    ours = buildinfo(source_version, unsigned, commit, "the commit as it is", PRESET,
                     build_type(show("CMakePresets.json")), "".join(
                         f"{line}\n" for line in toolchain_lines(recorded("toolchain.txt", tree)))) + \
        (signed_buildinfo(exe, tool) if at else "")
    theirs, lines = files["BUILDINFO.txt"].decode(errors="replace").splitlines(), ours.splitlines()
    line, same = len(os.path.commonprefix([theirs, lines])), files["BUILDINFO.txt"] == ours.encode()
    check("BUILDINFO.txt", same, f"the record of commit {tree}" if same else f"line {line + 1} is "
          f"\"{(theirs + [''])[line]}\" where the record of commit {tree} has \"{(lines + ['(nothing)'])[line]}\"")
    if rebuilding:  # the commit's tree, as git holds it, built in the temporary folder
        try:
            fresh = sha(rebuild(work, tree))
        except (ValueError, subprocess.CalledProcessError) as error:
            fresh = str(error)
        check("kronvel.exe (unsigned) against a fresh build", sha(unsigned) == fresh,
              f"{sha(unsigned)}, built here from commit {tree}: {fresh}")
    # Last, the zip its checked files pack to, under the source's folder name.
    again = pack(f"kronvel-{source_version}-win32", {file: files[file] for file in FILES})
    check("the zip, packed again", data == again, f"its files under kronvel-{source_version}-win32/ pack to its "
          f"{len(data)} bytes" if data == again else f"its {len(data)} bytes differ from the {len(again)} its files "
          f"under kronvel-{source_version}-win32/ pack to, from byte {len(os.path.commonprefix([data, again]))}")


class Stopped(BaseException):  # a signal: past every "except Exception", to the temporary folder's removal
    pass


def stop(number, _):
    raise Stopped(signal.Signals(number).name)


def verify_release(args):
    """Check a downloaded release zip (scripts/verify-release).

It takes the zip as hostile. It opens only a regular file, without blocking,
reads it once, up to a bound past which it refuses it unread, and checks only
those bytes, against this source tree:
- against the .sha256 beside it (either case of hex);
- its entries, before any is unpacked, against the release's five files: each
  once, as Windows names them, a regular file within its size, nothing between
  or beyond their records;
- kronvel.exe's signature, if it has one: exactly one (nested ones counted),
  verifying, with only the attributes (signed: those osslsigncode writes;
  unsigned: at most a timestamp) and the certificates (the signer's chain,
  exactly one matching the signer) a release's signature has, in a canonical
  certificate table; the signer named by its certificate's SHA-256 fingerprint;
- kronvel.exe without its signature against the release record and, with
  --rebuild, against a fresh build of the commit;
- the version in the zip's name, its folder and BUILDINFO.txt against the
  source's at the commit BUILDINFO.txt names, which must be in the project's
  history: what HEAD, the tags and the branches of the remote "origin" reach (a
  commit object merely in the clone, fetched from a fork or a pull request's
  ref, in a stash, is no release's origin);
- BUILDINFO.txt against the record that commit gives (release/toolchain.txt's
  toolchain), and the other files against the tree at that commit;
- last, the zip itself against the zip its five files pack to with the
  packer's code, to the byte, so that nothing else rides along and no
  extractor can read another file from it.
It prints each check ("ok: ..." or "FAILED: ...", what came from the zip
escaped), then one verdict line, and exits 0 only when every check passed.
Its temporary folder goes however it ends, on SIGINT, SIGTERM and SIGHUP too."""
    signals = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
    for number in signals:
        signal.signal(number, stop)
    signal.pthread_sigmask(signal.SIG_BLOCK, signals)  # none between making the folder and owning it
    work = tempfile.mkdtemp(prefix="kronvel-verify-")
    try:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, signals)
        verify(args.zip, args.cert, args.timestamp_cert, args.rebuild, work)
    except Exception as error:  # a verdict, whatever the zip holds
        check("verify-release", False, f"stopped: {type(error).__name__}: {error}")
    except Stopped as error:
        check("verify-release", False, f"stopped by {error}")
    finally:
        signal.pthread_sigmask(signal.SIG_BLOCK, signals)
        shutil.rmtree(work)
    name = shown(os.path.basename(args.zip))
    print(f"verdict: FAILED: {name}: {shown('; '.join(failed))}" if failed else
          f"verdict: ok: {name} holds the recorded kronvel.exe{', as this source builds it' if args.rebuild else ''}")
    return 1 if failed else 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, allow_abbrev=False)
    commands = parser.add_subparsers(required=True, metavar="COMMAND")

    def command(name, function, *arguments, prog=None):  # its help, the function's docstring
        sub = commands.add_parser(name, help=function.__doc__.split("\n")[0], description=function.__doc__,
                                  prog=prog, allow_abbrev=False, formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(function=function, parser=sub)
        for argument in arguments:
            sub.add_argument(argument.lower(), metavar=argument, type=pathlib.Path if argument == "BUILD" else str)
        return sub

    command("buildinfo", write_buildinfo, "BUILD", "VERSION")
    command("record", write_record)
    command("check", check_record, "BUILD")
    command("rebuild", check_rebuild, "BUILD")
    sub = command("package", package, prog="scripts/package")
    sub.add_argument("--no-build", dest="build_first", action="store_false", help="pack the build as it is")
    sub.add_argument("--build", type=pathlib.Path, default=ROOT / "build" / PRESET, metavar="DIR",
                     help="the build to pack (default: build/wine)")
    sub.add_argument("--out", type=pathlib.Path, default=ROOT / "dist", metavar="DIR",
                     help="where the zips go (default: dist)")
    sub.add_argument("--unrecorded", action="store_true", help="pack even where kronvel.exe, its toolchain or the "
                     "source is not what the release record says (for trials; never to publish)")
    key = sub.add_mutually_exclusive_group()
    key.add_argument("--sign-pkcs12", nargs=2, dest="key", metavar=("FILE", "PASSWORD-FILE"),
                     help="sign kronvel.exe with a PKCS#12 file's key; BUILDINFO.txt then also gives the signed file's "
                     "hash (signed-sha256) and the signing tool's version (signed-with)")
    key.add_argument("--sign-pkcs11", nargs=4, dest="key", metavar=("MODULE", "CERT", "KEY-URI", "PIN-FILE"),
                     help="the same with a PKCS#11 token's key")
    sub.add_argument("--timestamp", metavar="URL", help="add an RFC 3161 timestamp to the signature")
    sub.add_argument("--base-url", metavar="URL", help="the release's download folder: also write the winget and "
                     "Scoop manifests")
    sub.add_argument("--homepage", metavar="URL", help="the project's page, which lists its releases (Scoop looks "
                     "there for newer ones); required with --base-url")
    sub = command("verify", verify_release, "ZIP", prog="scripts/verify-release")

    def usage_error(message, error=sub.error):  # a usage error is a verdict too, the last line
        try:
            error(message)  # argparse's: the usage and the error on stderr, then exit status 2
        finally:
            print("verdict: FAILED: usage")
    sub.error = usage_error
    sub.add_argument("--cert", type=os.path.abspath, metavar="CERT.pem", help="trust these certificates (the "
                     "signer's or its root) for code signing instead of the system's roots; the kronvel.exe in ZIP "
                     "must then be signed")
    sub.add_argument("--timestamp-cert", type=os.path.abspath, metavar="CERT.pem", help="trust these certificates "
                     "(the timestamp server's or its root) for timestamps only, instead of the system's roots: a code "
                     "signer they certify is not trusted for that")
    sub.add_argument("--rebuild", action="store_true", help="build the commit's tree afresh (its wine preset, in the "
                     "temporary folder) and compare kronvel.exe with it too")
    args, unknown = parser.parse_known_args(argv)
    if unknown:  # the command's own usage error
        args.parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    try:
        return args.function(args)
    except FileNotFoundError as error:  # a build's file, or a tool that is not installed
        sys.exit(f"kronvel: {error.filename}: {error.strerror}" + ("" if "/" in str(error.filename) else
                                                                  " (scripts/test installs what the release needs)"))


if __name__ == "__main__":
    sys.exit(main())

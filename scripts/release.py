# What a release zip holds, and kronvel.exe's signature read as bytes: shared by
# scripts/package, scripts/verify-release and their tests, so that the packer and
# the checker cannot disagree.
import hashlib, json, pathlib, re

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The release zip's files under its folder kronvel-VERSION-win32, in their
# order, with the most bytes each may hold.
FILES = {"kronvel.exe": 4 << 20, "BUILDINFO.txt": 64 << 10, "README.md": 1 << 20, "LICENSE": 64 << 10,
         "THIRD-PARTY-NOTICES.txt": 1 << 20}
FROM_TREE = ("README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt")
NESTED = bytes.fromhex("060a2b060104018237020401")  # the OID 1.3.6.1.4.1.311.2.4.1, a nested signature


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


# The DER element at AT, ending by END: its tag, its content's start and its end.
def der(data, at, end):
    if at + 2 > end:
        raise ValueError("the signature's DER ends early")
    tag, size, at = data[at], data[at + 1], at + 2
    if size & 0x80:
        count = size & 0x7F
        if not 1 <= count <= 4:
            raise ValueError("the signature is not DER")
        size, at = int.from_bytes(data[at:at + count], "big"), at + count
    if at + size > end:
        raise ValueError("the signature's DER ends early")
    return tag, at, at + size


# The DER elements from AT to END: their start, tag, content's start and end.
def elements(data, at, end):
    while at < end:
        tag, content, stop = der(data, at, end)
        yield at, tag, content, stop
        at = stop


# Of a WIN_CERTIFICATE's PKCS#7 SignedData: its DER length, the number of
# signatures it holds (its signers and nested ones), and the first signer's
# certificate (DER; None when the signature does not carry it).
def signature(blob):
    _, content, length = der(blob, 0, len(blob))  # ContentInfo: type, [0] content
    _, content, end = der(blob, *list(elements(blob, content, length))[1][2:])  # SignedData
    fields = list(elements(blob, content, end))  # version, algorithms, content, [0] certificates, ..., signers
    signers = list(elements(blob, *fields[-1][2:]))
    signer = None
    if signers:
        sid = list(elements(blob, *signers[0][2:]))[1]  # version, issuer and serial number, ...
        for field in (f for f in fields if f[1] == 0xA0):
            for cert in elements(blob, *field[2:]):
                tbs = list(elements(blob, *list(elements(blob, *cert[2:]))[0][2:]))
                serial, _, issuer = tbs[1:4] if tbs[0][1] == 0xA0 else tbs[:3]  # after the [0] version
                if blob[issuer[0]:issuer[3]] + blob[serial[0]:serial[3]] == blob[sid[2]:sid[3]]:
                    signer = blob[cert[0]:cert[3]]
    return length, len(signers) + blob.count(NESTED), signer


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


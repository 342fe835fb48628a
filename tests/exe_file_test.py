#!/usr/bin/python3
# A built kronvel.exe read as a file, on the build host, with pefile: its image
# headers, load configuration and imports, and its resources, each against
# what the program is built to be (res/, the compile target, pefile's layout of
# the load configuration). What needs Windows' loader or the running program
# is exe_tests' (exe_*_test.cpp). The machine is the one the image must
# be built for: x86 for the shipped program, x64 for the test build's.
#
# Usage: tests/exe_file_test.py x86|x64 PATH-TO-kronvel.exe [unittest options]
import pefile, re, struct, sys, unittest, xml.etree.ElementTree as ElementTree
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
if len(sys.argv) < 3 or sys.argv[1] not in ("x86", "x64"):
    sys.exit("usage: tests/exe_file_test.py x86|x64 PATH-TO-kronvel.exe [unittest options]")
MACHINE, FILE = sys.argv[1], Path(sys.argv[2]).read_bytes()
pe = pefile.PE(data=FILE)
X86 = MACHINE == "x86"
# The ids the program and its resource script share, and the dialog's cancel id.
IDS = {name: int(value) for name, value in re.findall(r"#define (\w+) (-?\d+)", (ROOT / "res/resource.h").read_text())}
IDS.update(IDCANCEL=2)
# The window styles the dialog template uses, as the platform defines them.
STYLES = dict(WS_POPUP=0x80000000, WS_CHILD=0x40000000, WS_VISIBLE=0x10000000, WS_CAPTION=0xC00000,
              WS_VSCROLL=0x200000, WS_SYSMENU=0x80000, WS_MINIMIZEBOX=0x20000, WS_GROUP=0x20000, WS_TABSTOP=0x10000,
              DS_MODALFRAME=0x80, DS_SHELLFONT=0x48, BS_PUSHBUTTON=0, BS_DEFPUSHBUTTON=1, SS_LEFT=0, SS_RIGHT=2,
              CBS_DROPDOWN=2)


def style(names):
    return sum(STYLES[name] for name in names.split("|"))


class Image(unittest.TestCase):
    def test_headers_say_a_gui_program_for_its_machine_and_the_windows_it_targets(self):
        # The Windows version the program is compiled against, 0xMMmm.
        winnt = re.search(r"_WIN32_WINNT=0x(\w\w)(\w\w)", (ROOT / "CMakeLists.txt").read_text())
        windows = (int(winnt[1], 16), int(winnt[2], 16))
        h = pe.OPTIONAL_HEADER
        for field, actual, expected in [
            ("Machine", pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386" if X86 else
                                                                     "IMAGE_FILE_MACHINE_AMD64"]),
            ("Magic", h.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE if X86 else pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS),
            ("Subsystem", h.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]),
            ("subsystem version", (h.MajorSubsystemVersion, h.MinorSubsystemVersion), windows),
            ("operating system version", (h.MajorOperatingSystemVersion, h.MinorOperatingSystemVersion), windows),
            ("TimeDateStamp (--no-insert-timestamp)", pe.FILE_HEADER.TimeDateStamp, 0),
        ]:
            with self.subTest(field):
                self.assertEqual(actual, expected)

    def test_is_relocatable_no_execute_compatible_terminal_server_aware_and_on_x86_marked_without_handlers(self):
        flags = {  # each link option, and the DllCharacteristics bit it sets
            "--dynamicbase": ("DYNAMIC_BASE", True), "--nxcompat": ("NX_COMPAT", True),
            "--tsaware": ("TERMINAL_SERVER_AWARE", True),
            # x86 only: x64 exceptions unwind through tables, not a handler chain.
            "--no-seh": ("NO_SEH", X86)}
        for option, (bit, expected) in flags.items():
            with self.subTest(option):
                self.assertEqual(getattr(pe.OPTIONAL_HEADER, "IMAGE_DLLCHARACTERISTICS_" + bit), expected, bit)
        # Randomisation needs the relocations to be there.
        self.assertFalse(pe.FILE_HEADER.IMAGE_FILE_RELOCS_STRIPPED)
        relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        self.assertGreater(relocations.Size, 8)

    @unittest.skipUnless(X86, "x64 has no handler chain to register with")
    def test_no_x86_code_addresses_the_handler_chain(self):
        # Registering a handler means touching fs:[0], the head of the thread's
        # chain: mov eax to or from it (A1, A3), or mov, push or mov-immediate
        # (89, 8B, FF, C7) with a ModRM of a bare 32-bit displacement.
        fs0 = re.compile(rb"\x64(?:[\xa1\xa3]|[\x89\x8b\xff\xc7][\x05\x0d\x15\x1d\x25\x2d\x35\x3d])\0\0\0\0")
        for section in pe.sections:
            if section.IMAGE_SCN_MEM_EXECUTE:
                found = [section.PointerToRawData + m.start() for m in fs0.finditer(section.get_data())]
                self.assertEqual(found, [], "fs:[0] at these file offsets")

    def test_load_configuration_has_the_dll_search_flags_and_ends_at_the_handler_count(self):
        # Read in pefile's layout of the structure, which goes on past the
        # program's own (app/load_config.c); its releases name the flags'
        # field differently, but it always follows CSDVersion.
        config = pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct
        address = 4 if X86 else 8
        flags_at = config.get_field_relative_offset("CSDVersion") + 2
        directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
        # Linkers differ in the size they write into the directory: it only has to reach past the flags.
        self.assertGreaterEqual(directory.Size, flags_at + 2)
        self.assertEqual(config.Size, config.get_field_relative_offset("SEHandlerCount") + address)
        self.assertEqual(pe.get_word_at_rva(directory.VirtualAddress + flags_at), 0x800,
                         "DependentLoadFlags: LOAD_LIBRARY_SEARCH_SYSTEM32")
        self.assertEqual((config.SecurityCookie, config.SEHandlerTable), (0, 0))

    def test_carries_the_stack_protector_runtime(self):
        # Its message, linked in only when protected code calls it.
        self.assertIn(b"stack smashing detected", FILE)

    def test_imports_system_dlls_only_and_binds_ntdlls_timer_calls_by_name(self):
        imports = {d.dll.decode().upper(): {i.name.decode() if i.name else f"#{i.ordinal}" for i in d.imports}
                   for d in pe.DIRECTORY_ENTRY_IMPORT}
        # Windows' own DLLs: the program's (user32, comctl32, winmm, kernel32),
        # MinGW-w64's C runtime (msvcrt) and the stack protector's random
        # guard value (advapi32). No toolchain DLL, and no ntdll.
        self.assertEqual(sorted(imports), ["ADVAPI32.DLL", "COMCTL32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "USER32.DLL",
                                           "WINMM.DLL"])
        self.assertEqual(imports["WINMM.DLL"], {"timeBeginPeriod", "timeEndPeriod"})
        for name in ("NtQueryTimerResolution", "NtSetTimerResolution"):
            with self.subTest(name):
                self.assertFalse([dll for dll, names in imports.items() if name in names], "imported")
                self.assertIn(name.encode() + b"\0", FILE, "the name GetProcAddress is given")


ENGLISH_US = pefile.LANG["LANG_ENGLISH"] | pefile.SUBLANG["SUBLANG_ENGLISH_US"] << 10  # 1033
# (type, name, language) -> bytes, types and names as ids or strings
RESOURCES = {tuple(str(e.name) if e.name else e.id for e in (kind, name, language)):
             pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
             for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries for name in kind.directory.entries
             for language in name.directory.entries}
ICO = (ROOT / "res/kronvel.ico").read_bytes()
ICO_COUNT = struct.unpack_from("<3H", ICO)[2]


def resource(kind, id):
    return RESOURCES.get((pefile.RESOURCE_TYPE[kind], IDS.get(id, id), ENGLISH_US), b"")


class Reader:  # a resource's structure, read field by field
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, layout):
        values = struct.unpack_from("<" + layout, self.data, self.at)
        self.at += struct.calcsize("<" + layout)
        return values

    def string(self):
        end = self.at
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        text, self.at = self.data[self.at:end].decode("utf-16-le"), end + 2
        return text

    def name_or_ordinal(self):  # a string, or an ordinal: predefined window classes by their names
        if self.data[self.at:self.at + 2] != b"\xff\xff":
            return self.string()
        ordinal = self.take("2H")[1]
        classes = ["Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"]
        return classes[ordinal - 0x80] if 0x80 <= ordinal <= 0x85 else f"#{ordinal}"


class Resources(unittest.TestCase):
    def test_are_exactly_the_dialog_icons_manifest_and_layout_record_in_english_us(self):
        expected = {("RT_DIALOG", "IDD_MAIN"), ("RT_GROUP_ICON", "IDI_MAIN"), ("RT_MANIFEST", 1)}
        expected |= {("RT_ICON", n) for n in range(1, ICO_COUNT + 1)}
        expected = {(pefile.RESOURCE_TYPE[t], IDS.get(n, n), ENGLISH_US) for t, n in expected}
        expected.add(("AFX_DIALOG_LAYOUT", IDS["IDD_MAIN"], ENGLISH_US))
        self.assertEqual(set(RESOURCES), expected)
        self.assertEqual(RESOURCES[("AFX_DIALOG_LAYOUT", IDS["IDD_MAIN"], ENGLISH_US)], b"\0\0")

    def test_dialog_template_holds_the_window_and_its_ten_controls(self):
        r = Reader(resource("RT_DIALOG", "IDD_MAIN"))
        # dlgVer, DIALOGEX's signature, help id, extended style, style, controls, x, y, cx, cy
        header = r.take("2H3IH4h")
        self.assertEqual(header[:5], (1, 0xFFFF, 0, 0, style(
            "WS_POPUP|WS_CAPTION|WS_SYSMENU|WS_MINIMIZEBOX|DS_MODALFRAME|DS_SHELLFONT")))
        self.assertEqual(header[6:], (0, 0, 165, 95))
        # No menu, the default dialog class, the caption; the font's points,
        # weight, italic, character set and face.
        self.assertEqual((r.name_or_ordinal(), r.name_or_ordinal(), r.string(), r.take("2H2B"), r.string()),
                         ("", "", "Kronvel", (8, 400, 0, 1), "MS Shell Dlg"))
        controls = [  # class, id, text, x, y, cx, cy, style (all WS_CHILD|WS_VISIBLE)
            ("Button", "IDC_START_STOP", "Start", 7, 74, 50, 14, "WS_TABSTOP|BS_DEFPUSHBUTTON"),
            ("Button", "IDCANCEL", "Exit", 108, 74, 50, 14, "WS_TABSTOP|BS_PUSHBUTTON"),
            ("Static", -1, "Max timer period: ", 18, 17, 84, 8, "WS_GROUP|SS_LEFT"),
            ("Static", -1, "Min timer period: ", 18, 28, 84, 8, "WS_GROUP|SS_LEFT"),
            ("Static", -1, "Current timer period: ", 18, 39, 84, 8, "WS_GROUP|SS_LEFT"),
            ("Static", "IDC_MAX_PERIOD", "0 ms", 111, 17, 44, 8, "WS_GROUP|SS_RIGHT"),
            ("Static", "IDC_MIN_PERIOD", "0 ms", 111, 28, 44, 8, "WS_GROUP|SS_RIGHT"),
            ("Static", "IDC_CUR_PERIOD", "0 ms", 111, 38, 44, 8, "WS_GROUP|SS_RIGHT"),
            ("Static", -1, "Request period:", 18, 52, 57, 8, "WS_GROUP|SS_LEFT"),
            ("ComboBox", "IDC_PERIOD_LIST", "", 79, 50, 79, 30, "WS_VSCROLL|WS_TABSTOP|CBS_DROPDOWN"),
        ]
        self.assertEqual(header[5], len(controls))
        for cls, id, text, x, y, cx, cy, styles in controls:
            with self.subTest(id=id, text=text):
                r.at += -r.at % 4  # each control starts on a DWORD boundary
                # help id, extended style, style, x, y, cx, cy, id; class
                # (windres writes names in capitals: they are case-insensitive),
                # text, the size of its creation data
                self.assertEqual((*r.take("3I4hi"), r.name_or_ordinal().lower(), r.name_or_ordinal(), r.take("H")),
                                 (0, 0, style("WS_CHILD|WS_VISIBLE|" + styles), x, y, cx, cy, IDS.get(id, id),
                                  cls.lower(), text, (0,)))

    def test_icon_group_holds_the_icon_files_images_uncompressed_32_bit_largest_first(self):
        group = Reader(resource("RT_GROUP_ICON", "IDI_MAIN"))
        # The group's header and entries are the .ico file's, each with its
        # image's id in place of its offset in the file.
        sizes = [128, 96, 72, 64, 48, 40, 32, 24, 20, 16]
        self.assertEqual(group.take("3H"), (0, 1, len(sizes)))  # reserved, icons, images
        self.assertEqual(ICO_COUNT, len(sizes))
        for i, size in enumerate(sizes):
            with self.subTest(image=i + 1, pixels=size):
                *entry, id = group.take("4B2HIH")
                *ico_entry, offset = struct.unpack_from("<4B2H2I", ICO, 6 + 16 * i)
                self.assertEqual((entry, id), (ico_entry, i + 1))
                self.assertEqual(entry[:6], [size, size, 0, 0, 1, 32])  # no palette, one plane, 32 bits a pixel
                image = resource("RT_ICON", id)
                self.assertEqual(image, ICO[offset:offset + entry[6]])
                # A bitmap, not PNG: a BITMAPINFOHEADER, colour and mask stacked,
                # uncompressed (BI_RGB); its alpha channel used, a transparent
                # corner and an opaque centre.
                self.assertEqual(struct.unpack_from("<I2i2HI", image), (40, size, 2 * size, 1, 32, 0))
                self.assertEqual((image[40 + 3], image[40 + (size // 2 * size + size // 2) * 4 + 3]), (0, 255))

    def test_manifest_runs_as_invoker_with_common_controls_6_and_nothing_else(self):
        root = ElementTree.fromstring(resource("RT_MANIFEST", 1))
        elements = {}
        for element in root.iter():
            elements.setdefault(element.tag.split("}")[1], []).append(element)
        self.assertEqual(elements["requestedExecutionLevel"][0].attrib, {"level": "asInvoker", "uiAccess": "false"})
        # The one assembly identity is the dependency's: the program declares none of its own.
        self.assertEqual(elements["assemblyIdentity"], elements["dependentAssembly"][0][:])
        self.assertEqual(elements["assemblyIdentity"][0].attrib, {
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"})
        self.assertFalse({"dpiAware", "dpiAwareness", "supportedOS", "compatibility", "application"} & set(elements))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:])

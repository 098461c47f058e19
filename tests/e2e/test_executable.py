"""The built trevanto.exe as a file: PE type, imports and resources."""

import re
import subprocess

import bench

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "gdi32.dll", "wininet.dll", "shell32.dll",
               "advapi32.dll", "ole32.dll", "oleaut32.dll", "gdiplus.dll", "urlmon.dll", "version.dll",
               "comctl32.dll", "comdlg32.dll", "shlwapi.dll", "bcrypt.dll", "rpcrt4.dll"}


def objdump_headers() -> str:
    return subprocess.run(["i686-w64-mingw32-objdump", "-p", str(bench.PRODUCT)], check=True,
                          capture_output=True, text=True).stdout


def resources_as_rc() -> str:
    return subprocess.run(["i686-w64-mingw32-windres", "-i", str(bench.PRODUCT), "-O", "rc"], check=True,
                          capture_output=True, text=True).stdout


def test_is_a_32_bit_gui_pe_importing_only_system_dlls():
    headers = objdump_headers()
    assert "file format pei-i386" in headers
    assert re.search(r"Subsystem\s+00000002\s+\(Windows GUI\)", headers)
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
    assert dlls and dlls <= SYSTEM_DLLS, f"unexpected imports: {sorted(dlls - SYSTEM_DLLS)}"


def test_version_resource_names_the_product_and_version():
    rc = resources_as_rc()
    assert re.search(r"FILEVERSION 1, *26, *803, *0", rc)
    assert re.search(r"PRODUCTVERSION 1, *26, *803, *0", rc)
    assert re.search(r'VALUE "ProductName", "Trevanto"', rc)
    assert re.search(r'VALUE "ProductVersion", "1\.26\.0803"', rc)
    assert re.search(r'VALUE "FileVersion", "1\.26\.0803"', rc)


def test_manifest_asks_for_invoker_rights_and_lists_windows_7_to_11():
    rc = resources_as_rc()
    manifest_hex = re.search(r"1 24 /\* RT_MANIFEST \*/\s*BEGIN(.*?)END", rc, re.S)
    assert manifest_hex, "no manifest resource"
    manifest = resource_text(manifest_hex.group(1))
    assert 'level="asInvoker"' in manifest
    for os_id in ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                  "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"):
        assert os_id in manifest


def test_has_an_application_icon():
    rc = resources_as_rc()
    assert "RT_GROUP_ICON" in rc
    assert rc.count("/* RT_ICON */") >= 2


def resource_text(block: str) -> str:
    """Joins windres' dump of a text resource: quoted lines with doubled quotes."""
    pieces = re.findall(r'^\s*"(.*)"\s*$', block, re.M)
    return "".join(p.replace('""', '"').replace("\\n", "\n") for p in pieces)

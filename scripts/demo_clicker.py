"""Clicks through the agent's alerts windows on the bench's own X display, as
a person would, and saves a PNG of every window it sees.

    demo_clicker.py <agent-pid> <capture-folder>

Message, grid, picture and unknown windows are closed with their footer band;
terms are accepted once the button is enabled; an update offer closes by
itself when the update ends. Prints one line per window."""

import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import bench  # noqa: E402

TITLE = "ACTUALIZANDO... ESPERE."
FOOTER = (0, 120, 215)


def click(x, y):
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True)


def window():
    """The alerts window as wintool reads it, or None. Its output goes through
    a file: a Wine service it starts may inherit (and hold open) a pipe."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(["wine", bench.WINTOOL, "wait", TITLE, "500"], stdout=out,
                              stderr=subprocess.DEVNULL).returncode
        out.seek(0)
        lines = out.read().decode("utf-8", "replace").strip().splitlines()
    return json.loads(lines[-1]) if code == 0 and lines else None


def alive(pid):
    return os.path.exists(f"/proc/{pid}")


def main():
    pid, captures = int(sys.argv[1]), Path(sys.argv[2])
    captures.mkdir(parents=True, exist_ok=True)
    seen, count, updating = set(), 0, False
    while alive(pid):
        current = window()
        if current is None:
            time.sleep(0.3)
            continue
        time.sleep(1.0)  # let it paint (and make its children)
        current = window() or current
        shot = bench.screenshot()
        width, height = shot.size
        children = current.get("children", [])
        update_offer = len(children) != 2 and shot.getpixel((5, height - 5)) != FOOTER
        digest = hashlib.sha1(shot.tobytes()).hexdigest()
        if digest in seen or (update_offer and updating):
            time.sleep(1.0)
            continue
        seen.add(digest)
        updating = update_offer
        count += 1
        shot.save(captures / f"ventana_{count:02d}.png")
        if len(children) == 2:  # terms: wait for the button, then accept
            kind = "terminos (aceptados)"
            while alive(pid) and not (window() or {}).get("children", [{}, {}])[1].get("enabled", True):
                time.sleep(0.5)
            click(60, height - 25)
        elif not update_offer:
            kind = "cerrada con CERRAR"
            click(width // 2 + 200, height - 10)
        else:
            kind = "oferta de actualizacion (se cierra al terminar)"
        print(f"ventana {count:02d}: {kind}", flush=True)
        time.sleep(1.0)


if __name__ == "__main__":
    main()

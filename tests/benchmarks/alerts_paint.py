"""Benchmark: the alerts display under Wine.

Prints (asserts nothing about speed):
  - CPU time of one full repaint of each kind of window, and of one repaint
    of the progress band, measured by the harness on this thread
    (GetThreadTimes, averaged over many repaints);
  - the time from the end of the check-in (recibido.json written) to the
    first window on screen, with 10 pictures served by the vendor service.
Run it with scripts/benchmark.sh alerts (inside the sandbox).
"""

import io
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import bench  # noqa: E402

REPEATS = int(os.environ.get("TREVANTO_BENCH_REPEATS", "40"))
SHOTS = Path(os.environ["TREVANTO_BENCH_SHOTS"]) if os.environ.get("TREVANTO_BENCH_SHOTS") else None
PICTURES = 10


def png(width, height, colour, pattern=False) -> bytes:
    """A picture of one colour; with `pattern`, stripes and a gradient over
    it, so that a scaling that differs shows in the pixels."""
    picture = Image.new("RGB", (width, height), colour)
    if pattern:
        r, g, b = colour
        picture.putdata([((r + x) % 256, (g + y) % 256, b if (x + y) // 7 % 2 else 255 - b)
                         for y in range(height) for x in range(width)])
    buffer = io.BytesIO()
    picture.save(buffer, "PNG")
    return buffer.getvalue()


def document():
    pictures = [f"https://{bench.IMAGE_HOST}/uploads/foto{i}.png" for i in range(PICTURES)]
    cells = [{"texto": f"Producto {i}", "imagen": url, "color_fondo": "#EEEEEE"} for i, url in enumerate(pictures)]
    return {"titulo": "Novedades", "alertas": [
        {"tipo": "boton_multiple", "columnas": "5", "contenido": cells},
        {"tipo": "boton_unico", "contenido": [{"texto": "Oferta del mes con un texto algo largo", "imagen": pictures[2]}]},
        {"tipo": "solo_mensaje", "contenido": [{"texto": "Mensaje", "imagen": pictures[1]}]},
        {"tipo": "solo_mensaje", "contenido": [{"texto": "Mensaje sin imagen"}]},
        {"tipo": "url_actualizar"},
        {"tipo": "documento_rtf", "contenido": [{"enlace": ""}]},
        {"tipo": "otro"},
    ]}


def screen_pixel(x, y):
    shot = subprocess.run(["import", "-window", "root", "-crop", f"1x1+{x}+{y}", "png:-"],
                          capture_output=True, check=True).stdout
    return Image.open(io.BytesIO(shot)).convert("RGB").getpixel((0, 0))


def time_to_first_window(work, service, procs):
    folder = bench.make_program_folder(work, name="primera")
    shutil.copy(bench.AGENT, folder / "trevanto.exe")
    received = folder / "actualizador_registros" / "recibido.json"
    agent = procs.start(["wine", folder / "trevanto.exe"], cwd=folder)
    while not received.exists():
        assert agent.poll() is None, "the agent ended before its check-in"
        time.sleep(0.005)
    checked_in = time.monotonic()
    # The grid's first picture (red) at the top left of a 5 x 2 grid.
    while screen_pixel(60, 180) != (200, 0, 0):
        assert time.monotonic() - checked_in < 120, "no window within 2 minutes"
        time.sleep(0.01)
    shown = time.monotonic()
    subprocess.run(["xdotool", "key", "ctrl+F10"], check=True)
    bench.finish(agent, 30)
    return shown - checked_in


def paint_costs(work, procs):
    """The harness's repaint costs; with TREVANTO_BENCH_SHOTS (a folder), a
    PNG of each window as its last repaint left it, for comparing the pixels
    of two builds."""
    folder = bench.make_program_folder(work, name="pintura")
    shutil.copy(bench.HARNESS, folder / "trevanto.exe")
    records = folder / "actualizador_registros"
    records.mkdir()
    (records / "recibido.json").write_text(json.dumps(document()))
    output = work / "pintura.json"
    command = ["wine", folder / "trevanto.exe", "paint-bench", str(REPEATS)]
    if not SHOTS:
        return bench.run_to_file(procs, command, folder, output, timeout=600)
    SHOTS.mkdir(parents=True, exist_ok=True)
    with open(output, "wb") as out:
        proc = procs.start(command, cwd=folder, stdout=out, env={"TREVANTO_PAINT_SHOTS": "1"})
        taken = 0
        while proc.poll() is None:
            asked = output.read_bytes().decode(errors="replace").count("CAPTURA ")
            if asked > taken:
                time.sleep(0.5)  # the window surface reaches the X server
                bench.screenshot().save(SHOTS / f"ventana_{taken}.png")
                (folder / f"captura_{taken}.listo").write_bytes(b"")
                taken += 1
            time.sleep(0.05)
    assert proc.returncode == 0
    return json.loads(output.read_bytes().decode().strip().splitlines()[-1])


def main():
    with bench.scratch_service("trevanto_bench_") as (work, procs, service):
        colours = [(200, 0, 0)] + [(20 * i, 100, 255 - 20 * i) for i in range(1, PICTURES)]
        for i, colour in enumerate(colours):
            # The first stays plain: its colour tells when the first window is up.
            service.put_file(f"/uploads/foto{i}.png", png(640, 480, colour, pattern=i > 0))
        service.put_file("/uploads/foto_actualizador.png", png(800, 400, (255, 128, 0)))
        (service.data / "notificaciones" / "default.json").write_text(json.dumps(document()))
        service.start()

        costs = paint_costs(work, procs)
        print(f"CPU time per repaint under Wine ({REPEATS} repaints each, 1280 x 800):")
        for item in costs["items"]:
            print(f"  {item['kind'] or '(sin tipo)':16} full {item['full_us'] / 1000:7.2f} ms   "
                  f"progress band {item['band_us'] / 1000:7.2f} ms")
        seconds = time_to_first_window(work, service, procs)
        print(f"end of check-in to first window on screen, {PICTURES} pictures of 640 x 480 from the vendor "
              f"service: {seconds:.2f} s")


if __name__ == "__main__":
    main()

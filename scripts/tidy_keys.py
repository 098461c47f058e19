"""The keys of clang-tidy's kept clean results (scripts/static_analysis.sh).

    python3 tidy_keys.py ROOT OUT DB CACHE clang-tidy-arguments...

Writes OUT/DB/todo.txt (each file to analyse, then its key, one per line)
and OUT/DB/kept.txt (how many files have a clean result kept under CACHE).
A key hashes the file, every header of the project and the generated ones,
the file's compile command and the analysis arguments with this checkout's
path left out (so that every clone shares the keys), and OUT/DB/tools.txt
(clang-tidy's version, .clang-tidy, the installed packages' versions).
"""

import glob
import hashlib
import json
import os
import sys


def digest(*parts) -> str:
    h = hashlib.sha256()
    for part in parts:
        h.update(part if isinstance(part, bytes) else part.encode())
        h.update(b"\0")
    return h.hexdigest()


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def main() -> None:
    root, out, db, cache, args = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]

    def neutral(text: str) -> str:
        return text.replace(out, "<out>").replace(root, "<root>")

    patterns = [f"{root}/src/**/*.h", f"{root}/src/**/*.h.in", f"{root}/vendor-service/src/**/*.h",
                f"{root}/vendor-service/src/**/*.h.in", f"{out}/native/**/generated/**/*.h",
                f"{out}/win/**/generated/**/*.h"]
    headers = sorted({path for pattern in patterns for path in glob.glob(pattern, recursive=True)})
    common = digest(read(f"{out}/{db}/tools.txt"), neutral(" ".join(args)),
                    *(neutral(path) + " " + hashlib.sha256(read(path)).hexdigest() for path in headers))
    with open(f"{out}/{db}/compile_commands.json") as f:
        commands = {entry["file"]: entry for entry in json.load(f)}
    todo, kept = [], 0
    for name in read(f"{out}/{db}/files.txt").decode().split("\n"):
        if not name:
            continue
        entry = commands[name]
        command = neutral(json.dumps([entry.get("command"), entry.get("arguments"), entry.get("directory")]))
        key = digest(common, command, neutral(name), read(name))
        if os.path.exists(os.path.join(cache, key)):
            kept += 1
        else:
            todo += [name, key]
    with open(f"{out}/{db}/todo.txt", "w") as f:
        f.write("".join(line + "\n" for line in todo))
    with open(f"{out}/{db}/kept.txt", "w") as f:
        f.write(f"{kept}\n")


if __name__ == "__main__":
    main()

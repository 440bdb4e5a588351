#!/usr/bin/env python3
"""Fails when a source file includes a folder above its own in the layering of src/:

    common < volume < items < fatfs, ntfs < exfat < document < scan, saving < remote < ui, cli

A folder may include itself and the folders below it; folders on the same level (fatfs and ntfs,
scan and saving, ui and cli) may not include each other. Qt is included only under ui/ and
remote/harrowd/: the engines and harrow-cli never see it.

usage: check_layers.py SRC_DIR"""
import os
import re
import sys

LEVELS = [["common"], ["volume"], ["items"], ["fatfs", "ntfs"], ["exfat"], ["document"], ["scan", "saving"], ["remote"],
          ["ui", "cli"]]
LEVEL = {folder: i for i, folders in enumerate(LEVELS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/')
QT_INCLUDE = re.compile(r'^\s*#\s*include\s+<Q')
QT_FOLDERS = ("ui", os.path.join("remote", "harrowd"))


def main(src):
    problems = []
    for folder in sorted(os.listdir(src)):
        path = os.path.join(src, folder)
        if not os.path.isdir(path):
            continue
        if folder not in LEVEL:
            problems.append(f"{folder}/: a folder the layering does not know")
            continue
        for root, _, files in os.walk(path):
            for name in sorted(files):
                file = os.path.join(root, name)
                with open(file, encoding="utf-8") as f:
                    qt_allowed = os.path.relpath(root, src).startswith(QT_FOLDERS)
                    for number, line in enumerate(f, 1):
                        if QT_INCLUDE.match(line) and not qt_allowed:
                            problems.append(f"{os.path.relpath(file, src)}:{number}: Qt outside ui/ and remote/harrowd/")
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = m.group(1)
                        if target == folder:
                            continue
                        if target not in LEVEL or LEVEL[target] >= LEVEL[folder]:
                            problems.append(f"{os.path.relpath(file, src)}:{number}: {folder}/ includes {target}/")
    for p in problems:
        print(p, file=sys.stderr)
    print(f"check_layers: {len(problems)} upward or sideways includes, or Qt where it does not belong")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

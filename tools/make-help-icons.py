#!/usr/bin/env python3
"""Writes the converter's two 16x16 help-button icons into converter/.

Deterministic: the same files every run. Run it again after changing a
picture here.
"""
import importlib.util
import os

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, '..', 'converter')

_spec = importlib.util.spec_from_file_location('wait_resources', os.path.join(HERE, 'make-wait-resources.py'))
_wait = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_wait)

COLOURS = {
    '.': (0, 0, 0, 0),
    'k': (0, 0, 0, 255),
    'w': (255, 255, 255, 255),
    'b': (30, 80, 190, 255),
    'y': (250, 220, 60, 255),
}

# The pointer with a question mark of context help.
CONTEXT_HELP = [
    'k...............',
    'kk..............',
    'kwk.............',
    'kwwk......bbbb..',
    'kwwwk....bb..bb.',
    'kwwwwk...bb..bb.',
    'kwwwwwk......bb.',
    'kwwwwwwk....bb..',
    'kwwwwkkkk..bb...',
    'kwwkwk.....bb...',
    'kwk.kwk.........',
    'kk..kwk....bb...',
    'k....kwk...bb...',
    '.....kwk........',
    '......kk........',
    '................',
]

# A blue book with a yellow question mark: the help contents.
CONTENTS = [
    '................',
    '..kkkkkkkkkkk...',
    '.kbbbbbbbbbbbk..',
    '.kbbbbyyybbbbk..',
    '.kbbbyybyybbbk..',
    '.kbbbbbbyybbbk..',
    '.kbbbbbyybbbbk..',
    '.kbbbbyybbbbbk..',
    '.kbbbbyybbbbbk..',
    '.kbbbbbbbbbbbk..',
    '.kbbbbyybbbbbk..',
    '.kbbbbbbbbbbbk..',
    '.kkkkkkkkkkkkk..',
    '.kwwwwwwwwwwwk..',
    '..kkkkkkkkkkkk..',
    '................',
]


def pixels(picture):
    return [[COLOURS[c] for c in row] for row in picture]


def main():
    for name, picture in (('contexthelp.ico', CONTEXT_HELP), ('helpcontents.ico', CONTENTS)):
        with open(os.path.join(OUT, name), 'wb') as out:
            out.write(_wait.icon(pixels(picture)))


if __name__ == '__main__':
    main()

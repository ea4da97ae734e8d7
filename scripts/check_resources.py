#!/usr/bin/env python3
"""Checks the resource scripts of a program: the English and Japanese sets hold the same string,
dialog, menu and accelerator ids, and no dialog or menu level uses one access key (&X) twice.

Usage: check_resources.py <resources folder> [...]
"""
import re
import sys
from pathlib import Path

LANG_RE = re.compile(r'^\s*LANGUAGE\s+(LANG_\w+)', re.M)
BLOCK_RE = re.compile(r'^\s*(\w+)\s+(DIALOGEX|DIALOG|MENUEX|MENU|ACCELERATORS)\b', re.M)


def strip_comments(text):
    return re.sub(r'//[^\n]*', '', text)


def blocks(text):
    """Yields (kind, id, body) for each BEGIN..END resource block, and (STRINGTABLE, None, body)."""
    pos = 0
    while True:
        m = re.search(r'^\s*(?:(\w+)\s+(DIALOGEX|DIALOG|MENUEX|MENU|ACCELERATORS)\b|(STRINGTABLE)\b)', text[pos:], re.M)
        if not m:
            return
        start = pos + m.end()
        begin = re.search(r'\b(BEGIN|\{)', text[start:])
        if not begin:
            return
        depth, i = 0, start + begin.start()
        token_re = re.compile(r'"(?:[^"]|"")*"|\bBEGIN\b|\bEND\b|\{|\}')
        for t in token_re.finditer(text, i):
            tok = t.group(0)
            if tok in ('BEGIN', '{'):
                depth += 1
            elif tok in ('END', '}'):
                depth -= 1
                if depth == 0:
                    body = text[i:t.end()]
                    kind = m.group(3) or m.group(2)
                    yield kind, m.group(1), body, pos + m.start()
                    pos = t.end()
                    break
        else:
            return


def language_at(text, offset):
    lang = None
    for m in LANG_RE.finditer(text[:offset]):
        lang = m.group(1)
    return lang


def access_key_clashes(body):
    """Returns the access keys used twice on one menu level or in one dialog."""
    problems = []
    levels = [[]]
    for t in re.finditer(r'"(?:[^"]|"")*"|\bBEGIN\b|\bEND\b|\{|\}', body):
        tok = t.group(0)
        if tok in ('BEGIN', '{'):
            levels.append([])
        elif tok in ('END', '}'):
            keys = levels.pop()
            dup = sorted({k for k in keys if keys.count(k) > 1})
            if dup:
                problems.append(dup)
        else:
            s = tok[1:-1].replace('&&', '')
            m = re.search(r'&(\w)', s)
            if m:
                levels[-1].append(m.group(1).lower())
    return problems


def check(folder):
    errors = []
    ids = {}
    for rc in sorted(Path(folder).glob('*.rc')):
        text = strip_comments(rc.read_text(encoding='utf-8'))
        for kind, rid, body, offset in blocks(text):
            lang = language_at(text, offset)
            if lang in (None, 'LANG_NEUTRAL'):
                continue
            entry = ids.setdefault(lang, set())
            if kind == 'STRINGTABLE':
                for m in re.finditer(r'^\s*(\w+)\s*,?\s*"', body, re.M):
                    entry.add(('string', m.group(1)))
            else:
                kind = kind.replace('EX', '')
                entry.add((kind.lower(), rid))
                if kind == 'DIALOG':
                    for m in re.finditer(r'^\s*\w+\s+"(?:[^"]|"")*"\s*,\s*(\w+)', body, re.M):
                        entry.add(('control', rid + ':' + m.group(1)))
                if kind in ('DIALOG', 'MENU'):
                    for dup in access_key_clashes(body):
                        errors.append(f'{rc.name}: {kind} {rid} ({lang}) uses access key(s) {dup} twice')
    langs = sorted(ids)
    if len(langs) < 2:
        errors.append(f'{folder}: expected an English and a Japanese set, found {langs}')
    for a in langs:
        for b in langs:
            if a < b:
                for missing in sorted(ids[a] - ids[b]):
                    errors.append(f'{folder}: {missing} is in {a} but not in {b}')
                for missing in sorted(ids[b] - ids[a]):
                    errors.append(f'{folder}: {missing} is in {b} but not in {a}')
    return errors


def main(argv):
    errors = []
    for folder in argv[1:]:
        errors += check(folder)
    for e in errors:
        print(e)
    print(f'resource check: {len(errors)} problem(s)')
    return 1 if errors else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))

"""Writes the HTML5 named character references as a sorted C++ table.

Only the names the standard lists with their trailing semicolon are kept: the
legacy forms without one are not references in this system's dialects. The
table is sorted bytewise so the decoder can binary-search it.
"""
import html.entities
import sys


def c_string(text: str) -> str:
    return '"' + ''.join('\\x%02x' % b for b in text.encode('utf-8')) + '"'


def main(out_path: str) -> None:
    rows = sorted(
        (name[:-1].encode('ascii'), value)
        for name, value in html.entities.html5.items()
        if name.endswith(';')
    )
    with open(out_path, 'w', encoding='ascii') as out:
        out.write('// Generated from html.entities.html5; do not edit.\n')
        for name, value in rows:
            out.write('{%s, %s},\n' % (c_string(name.decode('ascii')), c_string(value)))


if __name__ == '__main__':
    main(sys.argv[1])

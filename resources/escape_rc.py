#!/usr/bin/env python3
"""Copies a UTF-8 resource script, writing every non-ASCII character of its
wide strings as a \\xNNNN escape: the resource compiler stores escapes exactly,
whatever code page it assumes for the file."""
import sys


def escape(text):
    out = []
    for ch in text:
        code = ord(ch)
        if code < 0x80:
            out.append(ch)
        elif code <= 0xFFFF:
            out.append('\\x%04X' % code)
        else:  # outside the basic plane: a surrogate pair
            code -= 0x10000
            out.append('\\x%04X\\x%04X' % (0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF)))
    return ''.join(out)


def main(source, target):
    with open(source, encoding='utf-8') as f:
        text = f.read()
    with open(target, 'w', encoding='ascii', newline='\n') as f:
        f.write(escape(text))


if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2])

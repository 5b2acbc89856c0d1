"""Text that came from a release, fit to print: every character that is not
printable (ESC, CR, LF, bidirectional controls and the like) and every
backslash is shown as an escape, so that nothing a release supplies can move
the cursor, hide text or start a line of its own."""


def escaped(text):
    """TEXT (str, or bytes read as UTF-8) with each unprintable character and
    each backslash written as a Python escape: ESC as \\x1b, a byte that is
    no UTF-8 as \\xff."""
    if isinstance(text, (bytes, bytearray)):
        text = bytes(text).decode("utf-8", errors="surrogateescape")
    return "".join(c if c.isprintable() and c != "\\" else _escape(c) for c in text)


def _escape(character):
    code = ord(character)
    if character == "\\":
        return "\\\\"
    if 0xDC80 <= code <= 0xDCFF:  # a byte that surrogateescape kept
        return f"\\x{code - 0xDC00:02x}"
    if code < 0x100:
        return f"\\x{code:02x}"
    if code < 0x10000:
        return f"\\u{code:04x}"
    return f"\\U{code:08x}"


# The most of a name that is shown: room for any name a CA gives, not for
# one that would push the rest of a line off the screen.
LONGEST_NAME = 256
CUT_MARK = "[cut]"


def name(text):
    """A certificate's name, fit to stand beside a fingerprint: every
    character outside printable ASCII escaped as escaped() writes it (a
    look-alike colon such as U+A789 as \\ua789), a colon too (\\x3a), so that
    no name can spell a fingerprint even to the eye; and past LONGEST_NAME
    characters cut, never inside an escape, and marked [cut]."""
    shown, length = [], 0
    for character in text:
        piece = character if " " <= character <= "~" and character not in "\\:" else _escape(character)
        if length + len(piece) > LONGEST_NAME:
            shown.append(CUT_MARK)
            break
        shown.append(piece)
        length += len(piece)
    return "".join(shown)

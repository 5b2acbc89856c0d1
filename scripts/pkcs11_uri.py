"""The release's PKCS#11 URI, read on standard input (never from the command
line, as it may hold the PIN) and checked against RFC 7512's grammar.

    /usr/bin/python3 -I pkcs11_uri.py PIN-FILE <URI

Prints the URI without its PIN; where it gave one as a pin-value, in any
letter case and in the path or the query, the URI instead names PIN-FILE as
its pin-source, and a second line holds the PIN itself, percent-decoded.
A URI that is not RFC 7512's, or that OpenSSL's PKCS#11 engine would read
otherwise, is one line on standard output (naming no value, since any might
be the PIN) and exit status 1.
"""
import re
import sys
import urllib.parse

# RFC 7512, section 2.3. The grammar's names are case-insensitive, as in all
# ABNF; its values are percent-encoded where they leave these characters.
UNRESERVED = r"A-Za-z0-9\-._~"
RES_AVAIL = r":\[\]@!$'()*+,="
PCT_ENCODED = r"%[0-9A-Fa-f]{2}"
PATH_VALUE = re.compile(rf"(?:[{UNRESERVED}{RES_AVAIL}&]|{PCT_ENCODED})*")
QUERY_VALUE = re.compile(rf"(?:[{UNRESERVED}{RES_AVAIL}/?|]|{PCT_ENCODED})*")
NAME = re.compile(r"[A-Za-z0-9\-_]+")
STANDARD_NAMES = {
    "token", "manufacturer", "serial", "model", "library-manufacturer", "library-version",
    "library-description", "object", "type", "id", "slot-description", "slot-manufacturer",
    "slot-id", "pin-source", "pin-value", "module-name", "module-path",
}
PIN_NAMES = {"pin-value", "pin-source"}


class NotTheUri(Exception):
    pass


def attributes(component, separator, value_grammar, where):
    """[name, value] pairs of one component, standard names in lower case.
    The engine, and this project's documents, take a PIN's attribute in the
    path too, where it keeps the query's grammar: a pin-source's file name
    has slashes."""
    pairs = []
    if not component:
        return pairs
    for number, attribute in enumerate(component.split(separator), 1):
        name, equals, value = attribute.partition("=")
        if not equals or not NAME.fullmatch(name):
            raise NotTheUri(f"attribute {number} of its {where} is not NAME=VALUE")
        if name.lower() in STANDARD_NAMES:
            name = name.lower()
        if re.search(r"%(?![0-9A-Fa-f]{2})", value):
            raise NotTheUri(f"a '%' in its {where}'s {name} is not followed by two hexadecimal digits")
        if not (QUERY_VALUE if name in PIN_NAMES else value_grammar).fullmatch(value):
            raise NotTheUri(f"its {where}'s {name} holds a character that must be percent-encoded")
        pairs.append([name, value])
    return pairs


def parse(uri, pin_file):
    """The URI without its PIN, and the PIN (None where the URI gives none)."""
    # urlsplit would drop tabs and line breaks silently.
    if not re.fullmatch(r"[\x21-\x7e]*", uri):
        raise NotTheUri("it holds a space, a control character or a character beyond ASCII, "
                        "which must be percent-encoded")
    if "#" in uri:
        raise NotTheUri("it holds a '#', which RFC 7512 does not allow")
    parts = urllib.parse.urlsplit(uri)
    if parts.scheme != "pkcs11" or parts.netloc:
        raise NotTheUri("it does not begin with pkcs11:")
    # The engine takes each of ';', '?' and '&' anywhere for the end of an
    # attribute, where RFC 7512 lets a path's value hold '&' and a query's '?'.
    # Such a URI names another key, or another PIN, to each reader.
    if "&" in parts.path:
        raise NotTheUri("its path holds a '&', which OpenSSL's PKCS#11 engine reads as a separator: "
                        "write it as %26")
    if "?" in parts.query:
        raise NotTheUri("its query holds a second '?', which OpenSSL's PKCS#11 engine reads as a separator: "
                        "write it as %3F")
    path = attributes(parts.path, ";", PATH_VALUE, "path")
    query = attributes(parts.query, "&", QUERY_VALUE, "query")
    pins = [pair for pair in path + query if pair[0] in PIN_NAMES]
    if len(pins) > 1:
        raise NotTheUri("it gives the PIN more than once (pin-value, pin-source)")
    pin = None
    if pins and pins[0][0] == "pin-value":
        pin = urllib.parse.unquote_to_bytes(pins[0][1])
        # The engine reads one line of a pin-source; bash holds no NUL.
        if re.search(rb"[\0\n\r]", pin):
            raise NotTheUri("its PIN holds a line break or a NUL, which no pin-source can pass on")
        path = [pair for pair in path if pair is not pins[0]]
        query = [pair for pair in query if pair is not pins[0]] + [["pin-source", "file:" + pin_file]]
    text = "pkcs11:" + ";".join("=".join(pair) for pair in path)
    if query:
        text += "?" + "&".join("=".join(pair) for pair in query)
    return text, pin


def main():
    try:
        text, pin = parse(sys.stdin.buffer.read().decode("ascii", "replace"), sys.argv[1])
    except NotTheUri as reason:
        print(f"--sign-key is not a PKCS#11 URI as RFC 7512 writes it: {reason}")
        return 1
    out = sys.stdout.buffer
    out.write(text.encode())
    if pin is not None:
        out.write(b"\n" + pin)
    return 0


if __name__ == "__main__":
    sys.exit(main())

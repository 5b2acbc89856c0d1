"""Which refs of a clone vouch for a recorded commit, and which of them a
verdict names.

A commit counts when it is on a tag, on a local branch, or on a branch of
origin: a ref that a fetch refspec of the remote origin fills from origin's
refs/heads/, and that no other refspec, of origin or of another remote,
fills too. Anyone can open a pull request, which a refspec such as
+refs/pull/*/head:refs/remotes/origin/pr/* brings in, and anyone can be the
remote origin/fork, whose branches land in refs/remotes/origin/fork/: those
refs count for nothing.

Git's own rules for a refspec: an optional leading "+", SOURCE:DESTINATION,
each side holding one "*" or none; a leading "^" excludes sources.
"""

TAGS, BRANCHES, REMOTES = "refs/tags/", "refs/heads/", "refs/remotes/"
ORIGIN = "origin"
MAIN = "refs/heads/main"


def _star(pattern, ref):
    """What PATTERN's "*" stands for in REF ("" for a pattern without one
    that is REF itself), or None where REF does not match."""
    head, star, tail = pattern.partition("*")
    if not star:
        return "" if pattern == ref else None
    if len(ref) >= len(head) + len(tail) and ref.startswith(head) and ref.endswith(tail):
        return ref[len(head) : len(ref) - len(tail)]
    return None


def _source(refspec, ref):
    """The remote's ref that REFSPEC fetches into REF, or None."""
    refspec = refspec.strip()
    source, _, destination = refspec.lstrip("+").partition(":")
    if refspec.startswith("^") or not destination:
        return None
    star = _star(destination, ref)
    if star is None:
        return None
    return source.replace("*", star, 1)


def origin_branch(ref, fetch):
    """Whether REF is a branch of origin. FETCH: (remote, refspec) for every
    fetch refspec that this clone's remotes have."""
    sources = [(remote, _source(refspec, ref)) for remote, refspec in fetch]
    sources = [(remote, source) for remote, source in sources if source is not None]
    excluded = [refspec[1:] for remote, refspec in ((r, s.strip()) for r, s in fetch) if remote == ORIGIN and refspec[:1] == "^"]
    return bool(sources) and all(
        remote == ORIGIN and source.startswith(BRANCHES) and all(_star(no, source) is None for no in excluded)
        for remote, source in sources
    )


def counts(ref, fetch):
    return ref.startswith((TAGS, BRANCHES)) or origin_branch(ref, fetch)


def named(counted, tagged, checked_out, origin_default):
    """The ref a verdict names, of the COUNTED refs that hold the commit: a
    tag on the commit itself (TAGGED), then origin's default branch, then the
    branch checked out, then main; else the first by name of the other local
    branches, then of origin's other branches, then of the later tags."""
    for ref in (*sorted(tagged), origin_default, checked_out, MAIN):
        if ref and ref in counted:
            return ref
    kinds = (BRANCHES, REMOTES, TAGS)
    return min(counted, key=lambda ref: (next((i for i, kind in enumerate(kinds) if ref.startswith(kind)), 3), ref))

"""Registration of test cases: one function per case, or one per row of a
table of cases (the row's name is added to the case name). A case registered
with wine=False reads only the build's files, so it also runs for a
configuration whose programs this host cannot start."""

CASES = []          # (name, function of the session)
WITHOUT_WINE = set()  # names of the cases that need no Wine


def case(name, wine=True):
    def register(function):
        CASES.append((name, lambda session: function(session)))
        if not wine:
            WITHOUT_WINE.add(name)
        return function
    return register


def table(name, rows, wine=True):
    """rows: (row name, argument) pairs; the function gets (session, argument)."""
    def register(function):
        for row_name, argument in rows:
            full = "%s[%s]" % (name, row_name)
            CASES.append((full, (lambda a: lambda session: function(session, a))(argument)))
            if not wine:
                WITHOUT_WINE.add(full)
        return function
    return register


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def equal(actual, expected, what):
    if actual != expected:
        raise AssertionError("%s:\n    expected %r\n    actual   %r" % (what, expected, actual))

"""Registration of test cases: one function per case, or one per row of a
table of cases (the row's name is added to the case name)."""

CASES = []


def case(name):
    def register(function):
        CASES.append((name, lambda session: function(session)))
        return function
    return register


def table(name, rows):
    """rows: (row name, argument) pairs; the function gets (session, argument)."""
    def register(function):
        for row_name, argument in rows:
            CASES.append(("%s[%s]" % (name, row_name),
                          (lambda a: lambda session: function(session, a))(argument)))
        return function
    return register


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def equal(actual, expected, what):
    if actual != expected:
        raise AssertionError("%s:\n    expected %r\n    actual   %r" % (what, expected, actual))

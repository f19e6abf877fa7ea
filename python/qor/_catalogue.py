"""The library's commands as every front end sees them.

Written by the build (qor_write_catalogue, from catalogue/catalogue.h and
common/trace_words.h): do not edit. The qor tool and qor-gateway are built
with the same rows.
"""

from collections import namedtuple

Command = namedtuple("Command", "word letters descriptive export args result query "
                     "repeat_hazard summary")
Arg = namedtuple("Arg", "word optional low high")

#: Magnitudes from here on round to 100000.00, which no value field carries.
VALUE_LIMIT = 99999.995
#: The largest value a field shows.
MAX_VALUE = 99999.99

#: One row per export: word, letters, descriptive name, export, argument
#: kinds, result kind, query (poll may repeat it), why a retry must not
#: repeat it (None: safe to repeat), summary.
COMMANDS = (
    Command("rd", "RD", "read", "QOR_RD", (), "value", True,
            None,
            "read the current value"),
    Command("nd", "ND", "read_new", "QOR_ND", (), "value", True,
            None,
            "read a new value"),
    Command("rz", "RZ", "read_relative", "QOR_RZ", (), "value", True,
            None,
            "read the zero value"),
    Command("rh", "RH", "high_limit", "QOR_RH", (), "limit", True,
            None,
            "read the high alarm limit and its mode"),
    Command("rl", "RL", "low_limit", "QOR_RL", (), "limit", True,
            None,
            "read the low alarm limit and its mode"),
    Command("re", "RE", "event_count", "QOR_RE", (), "count", True,
            None,
            "read the event counter"),
    Command("ec", "EC", "clear_event_count", "QOR_EC", (), "count", False,
            "it clears the counter: if the first reply was lost, its count is lost with it",
            "read and clear the event counter (after WE)"),
    Command("ca", "CA", "calibrate", "QOR_CA", (), "none", False,
            "it calibrates on the input of the moment: a second run calibrates again on a later one",
            "calibrate (after WE)"),
    Command("ce", "CE", "calibrate_second_step", "QOR_CE", (), "none", False,
            "it calibrates on the input of the moment: a second run calibrates again on a later one",
            "calibrate, second step (after WE)"),
    Command("cz", "CZ", "zero", "QOR_CZ", (), "none", False,
            "it takes the reading of the moment as zero: a second run takes a later one",
            "calibrate zero (after WE)"),
    Command("da", "DA", "disable_alarms", "QOR_DA", (), "none", False,
            None,
            "disable alarms (after WE)"),
    Command("ea", "EA", "enable_alarms", "QOR_EA", (), "none", False,
            None,
            "enable alarms (after WE)"),
    Command("rr", "RR", "reset", "QOR_RR", (), "none", False,
            "it resets the module: a second reset may hit a module that is still restarting",
            "reset the module (after WE)"),
    Command("hi", "HI", "set_high_limit", "QOR_HI", ("value", "mode", ), "none", False,
            None,
            "set the high alarm limit (after WE)"),
    Command("lo", "LO", "set_low_limit", "QOR_LO", ("value", "mode", ), "none", False,
            None,
            "set the low alarm limit (after WE)"),
    Command("sp", "SP", "set_setpoint", "QOR_SP", ("value", ), "none", False,
            None,
            "set the setpoint (after WE)"),
    Command("ts", "TS", "set_span_trim", "QOR_TS", ("value", ), "none", False,
            None,
            "trim the span (after WE)"),
    Command("tz", "TZ", "set_zero_trim", "QOR_TZ", ("value", ), "none", False,
            None,
            "trim the zero (after WE)"),
    Command("ao", "AO", "set_analog_output", "QOR_AO", ("value", ), "none", False,
            None,
            "set the analog output"),
    Command("do", "DO", "set_digital_outputs", "QOR_DO", ("byte", "opt_byte", ), "none", False,
            None,
            "set the digital outputs"),
    Command("di", "DI", "digital_input", "QOR_DI", ("di_count", "di_index", "di_bit", ), "bit", True,
            None,
            "read one digital input bit"),
    Command("rb", "RB", "bit", "QOR_RB", ("bit_number", ), "bit", True,
            None,
            "read a bit by number"),
    Command("sb", "SB", "set_bit", "QOR_SB", ("bit_number", ), "none", False,
            None,
            "set a bit by number"),
    Command("cb", "CB", "clear_bit", "QOR_CB", ("bit_number", ), "none", False,
            None,
            "clear a bit by number"),
)

#: Each argument kind: as a synopsis shows it, optional, lowest and highest
#: value (di_index: at most its count).
ARGS = {
    "value": Arg("VALUE", False, 0, 0),
    "mode": Arg("[L|M]", True, 0, 0),
    "byte": Arg("BYTE", False, 0, 255),
    "opt_byte": Arg("[BYTE]", True, 0, 255),
    "di_count": Arg("COUNT", False, 1, 24),
    "di_index": Arg("INDEX", False, 1, 24),
    "di_bit": Arg("BIT", False, 0, 7),
    "bit_number": Arg("BIT", False, 0, 63),
}

#: The words of each trace event kind (QOR_TRACE_...), as qor --trace and
#: qor-gateway --verbose word them: the form, and the form once part of a
#: reply came (None: the same).
TRACE_FORMS = {
    5: (">  {bytes}", None),
    6: ("<  {bytes}", None),
    7: ("!  no reply in {ms} ms", "!  nothing more in {ms} ms"),
    8: ("~  discarded {count} bytes: {raw}", None),
    9: ("=  waited {ms} ms for a quiet line", None),
    1: ("+  opened {text}", None),
    4: ("+  reopened {text}", None),
    2: ("!  open failed: {text}", None),
    3: ("-  closed", None),
    10: ("!  link lost: {text}", None),
    11: ("!  {text}", None),
    12: ("=  quiet period {ms} ms, {text}", None),
}
UNKNOWN_TRACE_FORM = "?  event {kind}"

#!/usr/bin/env python3
"""Checks the administrative template against the service's own list.

  check_templates.py POLICY_CPP ADMX ADML... [--stamp FILE]

The template and its language files must be well-formed XML; every string
and presentation the template names must be in each language file, and every
presentation must show only elements of its policy. Every machine-wide value
of PolicyValues in POLICY_CPP (the one list the service reads) must be a value
of the template with the same key, name and type (a number as a decimal of
the same range, or as the policy's own on/off value for 0..1; a text as a
text), and every value the template writes must be one the service reads.
The per-module values live in keys named after the modules, which a template
cannot name; the check makes sure none of them slipped into the template.
"""

import re
import sys
import xml.etree.ElementTree as ET

NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"


def service_table(path):
    text = open(path, encoding="utf-8").read()
    key = re.search(r'PolicyKey = "([^"]+)"', text).group(1).replace("\\\\", "\\")
    rows = re.findall(r'\{"(\w+)", TPolicyScope::(\w+), TPolicyType::(\w+), (\d+), (\d+),', text)
    if not rows:
        raise SystemExit("%s: no PolicyValues rows found" % path)
    return key, [(n, scope, kind, int(lo), int(hi)) for n, scope, kind, lo, hi in rows]


def template_values(admx):
    """(key, value name) -> (kind, min, max) of every value the template writes."""
    values = {}
    errors = []
    root = ET.parse(admx).getroot()
    for policy in root.iter(NS + "policy"):
        key = policy.get("key")
        name = policy.get("name")
        if policy.get("valueName"):
            on = policy.find(NS + "enabledValue/" + NS + "decimal")
            off = policy.find(NS + "disabledValue/" + NS + "decimal")
            if on is None or off is None:
                errors.append("%s: an on/off value needs decimal enabled and disabled values" % name)
            else:
                numbers = sorted([int(on.get("value")), int(off.get("value"))])
                values[(key, policy.get("valueName"))] = ("Dword", numbers[0], numbers[1])
        elements = policy.find(NS + "elements")
        for element in (elements if elements is not None else []):
            tag = element.tag[len(NS):]
            where = (element.get("key", key), element.get("valueName"))
            if tag == "decimal":
                values[where] = ("Dword", int(element.get("minValue", "0")), int(element.get("maxValue", "9999")))
            elif tag == "text":
                values[where] = ("String", 0, 0)
            else:
                errors.append("%s: element <%s> is not a kind the service reads" % (name, tag))
    return root, values, errors


def check_languages(root, admls):
    errors = []
    strings = set(re.findall(r"\$\(string\.(\w+)\)", ET.tostring(root, encoding="unicode")))
    presentations = {}
    for policy in root.iter(NS + "policy"):
        ref = policy.get("presentation")
        if ref:
            elements = policy.find(NS + "elements")
            ids = {e.get("id") for e in (elements if elements is not None else [])}
            presentations[re.match(r"\$\(presentation\.(\w+)\)", ref).group(1)] = ids
    for adml in admls:
        res = ET.parse(adml).getroot()
        have = {s.get("id") for s in res.iter(NS + "string")}
        for s in sorted(strings - have):
            errors.append("%s: string %s is missing" % (adml, s))
        shown = {p.get("id"): p for p in res.iter(NS + "presentation")}
        for pid, ids in presentations.items():
            if pid not in shown:
                errors.append("%s: presentation %s is missing" % (adml, pid))
                continue
            refs = {e.get("refId") for e in shown[pid] if e.get("refId")}
            if refs != ids:
                errors.append("%s: presentation %s shows %s, the policy has %s" % (adml, pid, sorted(refs), sorted(ids)))
    return errors


def main(argv):
    stamp = None
    if "--stamp" in argv:
        i = argv.index("--stamp")
        stamp = argv[i + 1]
        argv = argv[:i] + argv[i + 2:]
    cpp, admx, admls = argv[0], argv[1], argv[2:]
    key, table = service_table(cpp)
    try:
        root, values, errors = template_values(admx)
        errors += check_languages(root, admls)
    except ET.ParseError as e:
        raise SystemExit("not well-formed: %s" % e)
    read = {}
    for name, scope, kind, lo, hi in table:
        if scope == "Machine":
            read[(key, name)] = (kind, lo, hi) if kind == "Dword" else (kind, 0, 0)
        else:
            for (k, v) in values:
                if v == name:
                    errors.append("template writes the per-module value %s under %s" % (name, k))
    for where, kind in sorted(read.items()):
        if where not in values:
            errors.append("the service reads %s\\%s, the template has no such value" % where)
        elif values[where] != kind:
            errors.append("%s\\%s: the service reads %s, the template writes %s" % (where[0], where[1], kind,
                                                                                    values[where]))
    for where in sorted(set(values) - set(read)):
        if where[1] not in {n for n, s, *_ in table if s != "Machine"}:
            errors.append("the template writes %s\\%s, which the service does not read" % where)
    for e in errors:
        print(e, file=sys.stderr)
    if errors:
        return 1
    if stamp:
        open(stamp, "w").write("%d values checked\n" % len(read))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

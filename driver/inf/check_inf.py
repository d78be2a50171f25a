#!/usr/bin/env python3
"""Checks a driver INF file's syntax and cross references: every line in a
section, no section twice, the [Version] entries Windows requires, a Plug
and Play install without [DefaultInstall] and without a catalog the build
does not make, every models, install, services, service and file-list
section that another names present, the kernel service's entries, and every
%string% defined.

Usage: check_inf.py FILE [STAMP]   (STAMP is touched when the file is sound)
"""
import re
import sys


def strip_comment(raw):
    """The line without its comment: a ';' outside double quotes starts one."""
    quoted = False
    for index, char in enumerate(raw):
        if char == '"':
            quoted = not quoted
        elif char == ';' and not quoted:
            return raw[:index]
    return raw


def parse(path):
    """Yields syntax errors; leaves {section: [(line, key, value)]} in parse.sections."""
    sections, current = {}, None
    with open(path, encoding="utf-8") as text:
        for number, raw in enumerate(text, 1):
            line = strip_comment(raw).strip()
            if not line:
                continue
            header = re.fullmatch(r'\[([^\]]+)\]', line)
            if header:
                current = header.group(1).strip().lower()
                if current in sections:
                    yield f"line {number}: section [{header.group(1)}] appears twice"
                sections[current] = []
            elif current is None:
                yield f"line {number}: '{line}' is outside any section"
            else:
                key, equals, value = line.partition('=')
                sections[current].append((number, key.strip(), value.strip() if equals else None))
    parse.sections = sections


def values(entries, key):
    return [v for _, k, v in entries if k.lower() == key.lower()]


def check(path):
    errors = list(parse(path))
    sections = parse.sections
    need = lambda name, why: errors.append(f"[{name}] is missing ({why})") if name.lower() not in sections else None
    need("Version", "every INF starts with it")
    version = sections.get("version", [])
    for key in ("Signature", "Class", "ClassGuid", "Provider", "DriverVer"):
        if not values(version, key):
            errors.append(f"[Version] has no {key}")
    if values(version, "Signature") and values(version, "Signature")[0].strip('"').lower() not in ("$windows nt$", "$chicago$"):
        errors.append("[Version] Signature is neither \"$Windows NT$\" nor \"$Chicago$\"")
    for guid in values(version, "ClassGuid"):
        if not re.fullmatch(r'\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}', guid):
            errors.append(f"[Version] ClassGuid {guid} is not a GUID")
    for date in values(version, "DriverVer"):
        if not re.fullmatch(r'\d{2}/\d{2}/\d{4},\d+\.\d+\.\d+\.\d+', date):
            errors.append(f"[Version] DriverVer {date} is not mm/dd/yyyy,w.x.y.z")

    # A Plug and Play package: installed for its devices, never as a
    # DefaultInstall (which Windows refuses for PnP packages).
    if "defaultinstall" in sections or any(name.startswith("defaultinstall.") for name in sections):
        errors.append("[DefaultInstall] makes this a non-PnP INF: install for the hardware ids instead")
    # The package's files are the ones the INF copies; the build makes no
    # catalog, so a CatalogFile line would name a file that never exists
    # (SetupAPI then fails to add it).
    for catalog in values(version, "CatalogFile") + values(version, "CatalogFile.NTamd64"):
        errors.append(f"[Version] CatalogFile {catalog} names a file the build does not make "
                      "(add it when signing the package, see README.md)")
    need("Manufacturer", "it names the models")
    for _, _, value in sections.get("manufacturer", []):
        model, *decorations = [part.strip() for part in (value or "").split(',')]
        for name in [model] + [f"{model}.{d}" for d in decorations]:
            if decorations and name == model:
                continue
            need(name, "named in [Manufacturer]")
            for number, _, entry in sections.get(name.lower(), []):
                parts = [p.strip() for p in (entry or "").split(',')]
                if len(parts) < 2 or not parts[1]:
                    errors.append(f"line {number}: a model needs an install section and a hardware id")
                    continue
                install = parts[0]
                if install.lower() not in sections and f"{install}.nt".lower() not in sections:
                    errors.append(f"line {number}: install section {install} is missing")
                services = f"{install}.NT.Services"
                need(services, f"the services of {install}")
                for service in values(sections.get(services.lower(), []), "AddService"):
                    fields = [f.strip() for f in service.split(',')]
                    if len(fields) < 3:
                        errors.append(f"AddService = {service}: needs a name, flags and a section")
                        continue
                    need(fields[2], "named by AddService")
                    body = sections.get(fields[2].lower(), [])
                    for key in ("ServiceType", "StartType", "ErrorControl", "ServiceBinary"):
                        if not values(body, key):
                            errors.append(f"[{fields[2]}] has no {key}")
                    if values(body, "ServiceType") and values(body, "ServiceType")[0].split()[0] not in ("1", "0x1", "0x00000001"):
                        errors.append(f"[{fields[2]}] ServiceType is not 1 (a kernel driver)")
    for entries in sections.values():
        for number, key, value in entries:
            if key.lower() == "copyfiles" and value and not value.startswith('@'):
                for name in value.split(','):
                    need(name.strip(), f"CopyFiles on line {number}")

    strings = {k.lower() for _, k, _ in sections.get("strings", [])}
    with open(path, encoding="utf-8") as text:
        for number, raw in enumerate(text, 1):
            for token in re.findall(r'%([^%\s]+)%', strip_comment(raw)):
                if not token.isdigit() and token.lower() not in strings:
                    errors.append(f"line {number}: %{token}% is not defined in [Strings]")
    return errors


def main():
    errors = check(sys.argv[1])
    for error in errors:
        print(f"{sys.argv[1]}: {error}", file=sys.stderr)
    if errors:
        return 1
    if len(sys.argv) > 2:
        open(sys.argv[2], "w").close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

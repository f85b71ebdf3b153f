#!/usr/bin/python3
"""Write data/korvexxdt.dat: four-Gaussian X-ray scattering factors.

Run with Debian's interpreter from the repository root:

    /usr/bin/python3 tools/gen_xdt.py [--raw] [output-file]

f_x(s) = a1 exp(-b1 s^2) + a2 exp(-b2 s^2) + a3 exp(-b3 s^2) + a4 exp(-b4 s^2) + c,
s = sin(theta)/lambda in 1/angstrom, coefficients of the International Tables
for Crystallography Vol. C (1992), Table 6.1.1.4.

Sources:
- neutral atoms H to Cf (Z = 1 ... 98): python3-gemmi (Element(Z).it92);
- ions: python3-cctbx, table "IT1992" (every entry whose label carries a
  charge, such as O2-, Ti4+, Sr2+). cctbx stores the coefficients as single
  precision numbers; each is written as the shortest decimal that gives back
  the same single-precision number, which recovers the printed table value.
  The neutral atoms of cctbx's table must agree with gemmi's to the last digit,
  which checks that recovery on 98 entries.

Neutral atoms: a1..a4 and c are scaled by Z / (a1 + a2 + a3 + a4 + c) (at
most 0.12 %, as gemmi's IT92_normalize does), so that f_x(0) = Z exactly and
the Mott factor 0.02393367 (Z - f_x(s)) / s^2 tends to its finite limit
instead of diverging at small s. --raw writes the printed values instead.
Ions keep the printed values.

Each line: name, Z (nuclear charge, the atomic number also for ions), then
a1 b1 a2 b2 a3 b3 a4 b4 c. Lines stay well under 99 characters, the line
buffer of the reader.
"""

from decimal import Decimal, ROUND_HALF_EVEN
import re
import struct
import subprocess
import sys

import gemmi
from cctbx.eltbx import xray_scattering

MAX_LINE = 99
ION_LABEL = re.compile(r'^([A-Z][a-z]?)([0-9])([+-])$')


class TableError(Exception):
    pass


def debian_version(package):
    try:
        out = subprocess.run(['dpkg-query', '-W', '-f=${Version}', package],
                             capture_output=True, text=True, check=True)
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return 'version unknown'


def f32(x):
    return struct.unpack('f', struct.pack('f', x))[0]


def shortest_f32_decimal(x):
    """Shortest %g text that converts back to the same single-precision value."""
    target = f32(x)
    for digits in range(1, 10):
        text = '%.*g' % (digits, target)
        if f32(float(text)) == target:
            return text
    raise TableError('cannot format %r' % x)


def gemmi_text(x):
    """gemmi keeps the printed table values as doubles: shortest text."""
    return '%.10g' % x


def neutral_raw():
    """(name, Z, [a1..a4], [b1..b4], c) as printed in the table, from gemmi."""
    rows = []
    for z in range(1, 99):
        el = gemmi.Element(z)
        if el.atomic_number != z:
            raise TableError('gemmi has no element %d' % z)
        it = el.it92
        rows.append((el.name, z, [gemmi_text(v) for v in it.a],
                     [gemmi_text(v) for v in it.b], gemmi_text(it.c)))
    return rows


def normalized(row):
    """Scale a1..a4 and c by Z / (a1 + a2 + a3 + a4 + c), so that f_x(0) = Z.

    The same scaling as gemmi's IT92_normalize (changes of at most 0.12 %).
    The a_i are rounded to 6 decimals and c is then set to Z - sum a_i in
    exact decimal arithmetic, so the sum is Z to the last digit and the Mott
    factor (Z - f_x(s)) / s^2 stays finite as s goes to 0.
    """
    name, z, a, b, c = row
    a_dec = [Decimal(v) for v in a]
    total = sum(a_dec) + Decimal(c)
    factor = Decimal(z) / total
    q = Decimal('0.000001')
    a_new = [(v * factor).quantize(q, rounding=ROUND_HALF_EVEN) for v in a_dec]
    c_new = Decimal(z) - sum(a_new)
    values = []
    for i in range(4):
        values += [fmt_dec(a_new[i]), b[i]]
    values.append(fmt_dec(c_new))
    return (name, z, values)


def fmt_dec(d):
    text = format(d.normalize(), 'f')
    return text if text not in ('-0', '') else '0'


def raw_values(row):
    name, z, a, b, c = row
    values = []
    for i in range(4):
        values += [a[i], b[i]]
    values.append(c)
    return (name, z, values)


def cctbx_values(label):
    g = xray_scattering.it1992(label, True).fetch()
    a, b, c = list(g.array_of_a()), list(g.array_of_b()), g.c()
    if len(a) != 4 or len(b) != 4:
        raise TableError('%s: %d Gaussians in cctbx' % (label, len(a)))
    values = []
    for i in range(4):
        values += [shortest_f32_decimal(a[i]), shortest_f32_decimal(b[i])]
    values.append(shortest_f32_decimal(c))
    return values


def ion_rows():
    rows = []
    for entry in xray_scattering.it1992_iterator():
        label = entry.label()
        m = ION_LABEL.match(label)
        if not m:
            continue
        z = gemmi.Element(m.group(1)).atomic_number
        if z < 1 or z > 98:
            raise TableError('ion %s outside H to Cf' % label)
        rows.append((label, z, cctbx_values(label)))
    return rows


def check_neutral_against_cctbx(raw):
    for name, z, values in (raw_values(r) for r in raw):
        other = cctbx_values(name)
        if [float(v) for v in values] != [float(v) for v in other]:
            raise TableError('%s: gemmi %s differs from cctbx %s' % (name, values, other))


def main():
    args = sys.argv[1:]
    keep_raw = '--raw' in args
    args = [a for a in args if a != '--raw']
    out_name = args[0] if args else 'data/korvexxdt.dat'
    try:
        raw = neutral_raw()
        check_neutral_against_cctbx(raw)
        neutral = [raw_values(r) for r in raw] if keep_raw else [normalized(r) for r in raw]
        ions = ion_rows()
    except TableError as e:
        sys.stderr.write('gen_xdt: %s\n' % e)
        return 1
    names = [r[0] for r in neutral + ions]
    if len(set(names)) != len(names):
        sys.stderr.write('gen_xdt: duplicate names\n')
        return 1
    cctbx_version = debian_version('python3-cctbx')
    lines = [
        '# Four-Gaussian X-ray scattering factors, International Tables Vol. C (1992).',
        '# f(s) = a1 exp(-b1 s^2) + ... + a4 exp(-b4 s^2) + c, s = sin(theta)/lambda (1/A)',
        '# name Z a1 b1 a2 b2 a3 b3 a4 b4 c   (Z: nuclear charge)',
        ('# Neutral atoms: table values.' if keep_raw else
         '# Neutral atoms: a1..a4, c scaled so that a1+a2+a3+a4+c = Z exactly.'),
        '# Ions: table values (a1+a2+a3+a4+c = number of electrons).',
        '# Written by tools/gen_xdt.py: neutral atoms from python3-gemmi %s,' % gemmi.__version__,
        '# ions from python3-cctbx %s, table IT1992.' % cctbx_version,
    ]
    for name, z, values in neutral + ions:
        line = ' '.join([name, str(z)] + values)
        if len(line) > MAX_LINE - 1:
            sys.stderr.write('gen_xdt: line too long: %s\n' % line)
            return 1
        lines.append(line)
    with open(out_name, 'w', newline='\n') as f:
        f.write('\n'.join(lines) + '\n')
    print('wrote %s: %d neutral atoms, %d ions' % (out_name, len(neutral), len(ions)))
    return 0


if __name__ == '__main__':
    sys.exit(main())

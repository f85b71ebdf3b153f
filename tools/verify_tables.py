#!/usr/bin/python3
"""Independent checks of data/korvexspg.dat and data/korvexxdt.dat.

Run with Debian's interpreter from the repository root:

    /usr/bin/python3 tools/verify_tables.py [spg-file] [xdt-file]

The files are read the way the programs read them (comment lines beginning
with '%' or '#', "COMMENT{" blocks, tokens separated by blanks, commas and
tabs, a 100-character line buffer) and checked against python3-spglib and
python3-gemmi (and python3-cctbx for the ions). Exit status 0 when every
check passes, 1 otherwise; each failure is printed.

Space groups: every number 1..230 exactly once; headers of five tokens;
operator lines decoded by the programs' rule (a letter is negative when the
first '-' of its component stands right before it; the translation is the
one-digit fraction around the first '/') and, separately, by a strict parser
of signed linear terms, which must agree; expansion by centring and inversion
as the programs do it; the order equals that of both libraries and the set of
operations modulo lattice translations equals the library's general position;
the expanded list has no repeated operation and is closed under composition;
Wyckoff multiplicities of a few known sites come out right with the
programs' coincidence test (0.0001 tolerance, 7-digit rhombohedral thirds).

Scattering factors: 11 tokens per line, unique names, all elements H to Cf,
Z matching the name, a1+...+a4+c equal to Z for neutral atoms (they are
normalised) and close to Z minus the charge for ions, coefficients within
0.12 % of the printed table values, positive f_x on 0 <= s <= 2 for neutral
atoms.
"""

import math
import re
import sys

import gemmi
import spglib

FAILURES = []
LINE_BUFFER = 100            # fgets buffer: at most 99 characters incl. newline


def fail(msg):
    FAILURES.append(msg)
    print('FAIL: ' + msg)


# ---------------------------------------------------------------- reading --

def raw_lines(path):
    with open(path, 'rb') as f:
        data = f.read()
    if b'\r' in data:
        fail('%s: carriage return in file' % path)
    text = data.decode('ascii')
    if not text.endswith('\n'):
        fail('%s: last line has no line end' % path)
    lines = text.split('\n')[:-1]
    for i, line in enumerate(lines):
        if len(line) + 1 > LINE_BUFFER - 1:
            fail('%s:%d: line of %d characters exceeds the line buffer'
                 % (path, i + 1, len(line)))
        if line.strip() == '':
            fail('%s:%d: blank line' % (path, i + 1))
    return lines


def is_comment(line):
    return line.startswith('%') or line.startswith('#')


def tokens(line):
    return [t for t in re.split(r'[ ,\t\n\r]+', line) if t]


# ------------------------------------------------------------ space groups --

D = 24   # translations in units of 1/24 of a cell edge

CENTRING = {
    'P': [], 'I': [(12, 12, 12)], 'A': [(0, 12, 12)], 'B': [(12, 0, 12)],
    'C': [(12, 12, 0)], 'F': [(0, 12, 12), (12, 0, 12), (12, 12, 0)],
    'R': [(16, 8, 8), (8, 16, 16)],
}
CENTRING_FLOAT_R = [(0.6666667, 0.3333333, 0.3333333), (0.3333333, 0.6666667, 0.6666667)]


def decode_literal(line):
    """The programs' rule. Returns (rot[i][j] rows, trans floats) or None."""
    comps = line.split(',')
    if len(comps) != 3:
        return None
    rot, trans = [], []
    for comp in comps:
        if len(comp) >= 16:
            fail('operator component %r is 16 characters or longer' % comp)
        first_minus = comp.find('-')
        row = []
        for letter in 'XYZ':
            if letter not in comp:
                row.append(0)
            elif first_minus >= 0 and comp[first_minus + 1:first_minus + 2] == letter:
                row.append(-1)
            else:
                row.append(1)
        rot.append(row)
        k = comp.find('/')
        if k < 0:
            trans.append(0.0)
        else:
            trans.append(float(int(comp[k - 1])) / float(int(comp[k + 1])))
    return rot, trans


TERM = re.compile(r'([+-]?)(?:([XYZ])|([0-9])/([0-9]))')


def decode_strict(line):
    """Signed terms such as -X, +Y, +1/2; anything else is an error."""
    comps = line.split(',')
    if len(comps) != 3:
        return None
    rot, trans = [], []
    for comp in comps:
        row, t, pos = [0, 0, 0], 0, 0
        while pos < len(comp):
            m = TERM.match(comp, pos)
            if not m or m.end() == pos:
                return None
            sign = -1 if m.group(1) == '-' else 1
            if m.group(2):
                j = 'XYZ'.index(m.group(2))
                if row[j] != 0:
                    return None
                row[j] = sign
            else:
                if t != 0:
                    return None
                t = sign * D * int(m.group(3)) // int(m.group(4))
                if D * int(m.group(3)) % int(m.group(4)) != 0:
                    return None
            pos = m.end()
        rot.append(row)
        trans.append(t)
    return rot, trans


def read_spg(path):
    lines = raw_lines(path)
    entries = {}
    i = 0
    in_comment_block = False
    while i < len(lines):
        line = lines[i]
        i += 1
        if in_comment_block:
            if line.startswith('}COMMENT'):
                in_comment_block = False
            continue
        if line.startswith('COMMENT{'):
            in_comment_block = True
            continue
        if is_comment(line):
            continue
        tok = tokens(line)
        if len(tok) != 5:
            fail('spg line %d: header with %d tokens: %r' % (i, len(tok), line))
            continue
        try:
            n, flag, number, code = (int(t) for t in tok[:4])
        except ValueError:
            fail('spg line %d: header is not four integers and a symbol: %r' % (i, line))
            continue
        ops = lines[i:i + n]
        i += n
        if len(ops) != n:
            fail('space group %d: file ends inside its operator lines' % number)
        if any(is_comment(op) for op in ops):
            fail('space group %d: comment among its operator lines' % number)
        if number in entries:
            fail('space group %d listed twice' % number)
        entries[number] = dict(n=n, flag=flag, code=code, symbol=tok[4], ops=ops)
    return entries


def make_key(rot, t):
    return (tuple(tuple(r) for r in rot), tuple(x % D for x in t))


def compose(a, b):
    ra, ta = a
    rb, tb = b
    rot = [[sum(ra[i][k] * rb[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
    t = [sum(ra[i][k] * tb[k] for k in range(3)) + ta[i] for i in range(3)]
    return make_key(rot, t)


def expand_int(listed, lattice, flag):
    out = list(listed)
    for v in CENTRING[lattice]:
        out += [(r, [t[k] + v[k] for k in range(3)]) for r, t in listed]
    if flag == 1:
        out += [([[-x for x in row] for row in r], [-x for x in t]) for r, t in out]
    return out


def expand_float(listed, lattice, flag, code):
    """The programs' floating-point expansion, 7-digit thirds included."""
    out = list(listed)
    if lattice == 'R':
        vecs = CENTRING_FLOAT_R if code in (9, 11) else []
    else:
        vecs = [tuple(x / D for x in v) for v in CENTRING[lattice]]
    for v in vecs:
        out += [(r, [t[k] + v[k] for k in range(3)]) for r, t in listed]
    if flag == 1:
        out += [([[-x for x in row] for row in r], [-x for x in t]) for r, t in out]
    return out


def library_ops_spglib(hall):
    d = spglib.get_symmetry_from_database(hall)
    return set(make_key(r.tolist(), [int(round(x * D)) for x in t])
               for r, t in zip(d['rotations'], d['translations']))


def library_ops_gemmi(sg):
    ops = sg.operations()
    den = gemmi.Op.DEN
    out = set()
    for c in ops.cen_ops:
        for s in ops.sym_ops:
            out.add(make_key([[v // den for v in row] for row in s.rot],
                             [(s.tran[k] + c[k]) * D // den for k in range(3)]))
    return out


def spglib_reference_hall(number):
    """spglib's entry for the standard setting chosen for the table."""
    preferred = ('', 'b', 'b1', '2', 'H')
    for h in range(1, 531):
        t = spglib.get_spacegroup_type(h)
        if int(t['number']) == number and t['choice'] in preferred:
            return h
    return None


def fractional(x):
    x = x - math.floor(x)
    while x >= 1.0:
        x -= 1.0
    while x < 0.0:
        x += 1.0
    return x


def same_site(p, q):
    for a, b in zip(p, q):
        d = abs(fractional(a) - fractional(b))
        if not (d < 0.0001 or abs(d - 1.0) < 0.0001):
            return False
    return True


def distinct_positions(ops, pos):
    kept = []
    for r, t in ops:
        p = [sum(r[i][j] * pos[j] for j in range(3)) + t[i] for i in range(3)]
        if not any(same_site(p, q) for q in kept):
            kept.append(p)
    return len(kept)


def check_spg(path):
    entries = read_spg(path)
    missing = [n for n in range(1, 231) if n not in entries]
    extra = [n for n in entries if not 1 <= n <= 230]
    if missing or extra:
        fail('space groups missing %s, unexpected %s' % (missing, extra))
    gemmi_ref = {}
    for s in gemmi.spacegroup_table():
        if s.is_reference_setting():
            gemmi_ref[s.number] = s
    float_lists = {}
    for number in sorted(entries):
        e = entries[number]
        lattice = e['symbol'][0]
        if lattice not in 'PIABCFR':
            fail('space group %d: lattice letter %r' % (number, lattice))
            continue
        if e['flag'] not in (0, 1):
            fail('space group %d: centrosymmetry flag %d' % (number, e['flag']))
        if lattice == 'R' and e['code'] not in (9, 11):
            fail('space group %d: R lattice without hexagonal setting code' % number)
        if lattice != 'R' and e['code'] in (9, 11):
            fail('space group %d: setting code %d on a %s lattice' % (number, e['code'], lattice))
        listed_int, listed_float = [], []
        for line in e['ops']:
            lit = decode_literal(line)
            strict = decode_strict(line)
            if lit is None or strict is None:
                fail('space group %d: operator %r does not parse' % (number, line))
                continue
            if lit[0] != strict[0] or any(abs(a - (b % D) / D) > 1e-12 or b < 0
                                          for a, b in zip(lit[1], strict[1])):
                fail('space group %d: operator %r reads differently by the programs\' rule'
                     % (number, line))
            listed_int.append((strict[0], strict[1]))
            listed_float.append(lit)
        if not listed_int or listed_int[0] != ([[1, 0, 0], [0, 1, 0], [0, 0, 1]], [0, 0, 0]):
            fail('space group %d: first operator is not X,Y,Z' % number)
        full = expand_int(listed_int, lattice, e['flag'])
        keys = [make_key(r, t) for r, t in full]
        key_set = set(keys)
        if len(key_set) != len(keys):
            fail('space group %d: %d operations, only %d distinct modulo lattice translations'
                 % (number, len(keys), len(key_set)))
        for a in key_set:
            for b in key_set:
                if compose(a, b) not in key_set:
                    fail('space group %d: not closed under composition' % number)
                    break
            else:
                continue
            break
        sg = gemmi_ref.get(number)
        hall = spglib_reference_hall(number)
        if sg is None or hall is None:
            fail('space group %d: no reference setting in the libraries' % number)
            continue
        ref_g = library_ops_gemmi(sg)
        ref_s = library_ops_spglib(hall)
        if len(keys) != len(ref_g) or len(keys) != len(ref_s):
            fail('space group %d: order %d, gemmi %d, spglib %d'
                 % (number, len(keys), len(ref_g), len(ref_s)))
        if key_set != ref_g or key_set != ref_s:
            fail('space group %d: operations differ from the general position of %s'
                 % (number, 'gemmi' if key_set != ref_g else 'spglib'))
        if (e['flag'] == 1) != sg.is_centrosymmetric():
            # flag 0 on a centrosymmetric group would still be correct if the
            # inversion were listed, but the table always uses the flag.
            fail('space group %d: centrosymmetry flag %d disagrees with gemmi' % (number, e['flag']))
        if e['symbol'] != sg.hm.replace(' ', ''):
            fail('space group %d: symbol %s, gemmi %s' % (number, e['symbol'], sg.hm))
        fl = expand_float(listed_float, lattice, e['flag'], e['code'])
        float_lists[number] = fl
        general = (0.1234, 0.2345, 0.3456)
        if distinct_positions(fl, general) != len(keys):
            fail('space group %d: general position does not give %d distinct sites'
                 % (number, len(keys)))
    return entries, float_lists


def check_wyckoff(float_lists):
    # (group, site, fractional position, expected number of distinct positions)
    cases = [
        (227, 'Si 8a (origin choice 2)', (0.125, 0.125, 0.125), 8),
        (227, 'Fd-3m 16c', (0.0, 0.0, 0.0), 16),
        (227, 'Fd-3m 48f', (0.3, 0.125, 0.125), 48),
        (221, 'SrTiO3 Sr 1a', (0.0, 0.0, 0.0), 1),
        (221, 'SrTiO3 Ti 1b', (0.5, 0.5, 0.5), 1),
        (221, 'SrTiO3 O 3c', (0.0, 0.5, 0.5), 3),
        (167, 'Al2O3 Al 12c', (0.0, 0.0, 0.35216), 12),
        (167, 'Al2O3 O 18e', (0.30624, 0.0, 0.25), 18),
        (167, 'R-3c 6b', (0.0, 0.0, 0.0), 6),
        (194, 'P63/mmc 2c', (1.0 / 3, 2.0 / 3, 0.25), 2),
        (225, 'Fm-3m 4a', (0.0, 0.0, 0.0), 4),
        (225, 'Fm-3m 8c', (0.25, 0.25, 0.25), 8),
        (166, 'R-3m 3a', (0.0, 0.0, 0.0), 3),
        (166, 'R-3m 6c', (0.0, 0.0, 0.2), 6),
        (14, 'P21/c 2a', (0.0, 0.0, 0.0), 2),
        (141, 'I41/amd 4a (origin choice 2)', (0.0, 0.75, 0.125), 4),
    ]
    for number, label, pos, expected in cases:
        if number not in float_lists:
            continue
        got = distinct_positions(float_lists[number], pos)
        if got != expected:
            fail('space group %d %s: %d positions, expected %d' % (number, label, got, expected))


# ------------------------------------------------------ scattering factors --

ION = re.compile(r'^([A-Z][a-z]?)([0-9])([+-])$')


def read_xdt(path):
    lines = raw_lines(path)
    rows = []
    for k, line in enumerate(lines):
        if is_comment(line):
            continue
        tok = tokens(line)
        if len(tok) != 11:
            fail('xdt line %d: %d tokens' % (k + 1, len(tok)))
            continue
        try:
            z = int(tok[1])
            v = [float(t) for t in tok[2:]]
        except ValueError:
            fail('xdt line %d: not numbers: %r' % (k + 1, line))
            continue
        rows.append(dict(name=tok[0], z=z, a=v[0:8:2], b=v[1:8:2], c=v[8]))
    return rows


def fx(row, s):
    return sum(a * math.exp(-b * s * s) for a, b in zip(row['a'], row['b'])) + row['c']


def check_xdt(path):
    rows = read_xdt(path)
    names = [r['name'] for r in rows]
    if len(set(names)) != len(names):
        fail('xdt: repeated names')
    by_name = {r['name']: r for r in rows}
    for z in range(1, 99):
        el = gemmi.Element(z)
        r = by_name.get(el.name)
        if r is None:
            fail('xdt: element %s (Z = %d) missing' % (el.name, z))
            continue
        if r['z'] != z:
            fail('xdt: %s has Z = %d' % (el.name, r['z']))
        total = sum(r['a']) + r['c']
        if abs(total - z) > 1e-9 * z:
            fail('xdt: %s: a1+a2+a3+a4+c = %.9g, not Z = %d' % (el.name, total, z))
        it = el.it92
        for got, ref in zip(r['a'] + [r['c']], list(it.a) + [it.c]):
            if abs(got - ref) > 0.0013 * abs(ref) + 2e-6:
                fail('xdt: %s: coefficient %g far from table value %g' % (el.name, got, ref))
        if r['b'] != list(it.b):
            fail('xdt: %s: b coefficients %s differ from table %s' % (el.name, r['b'], list(it.b)))
        for i in range(201):
            s = i * 0.01
            if fx(r, s) <= 0:
                fail('xdt: %s: f_x(%g) = %g is not positive' % (el.name, s, fx(r, s)))
                break
        # Mott factor limits: finite and continuous as s -> 0.
        limit = 0.023934 * sum(a * b for a, b in zip(r['a'], r['b']))
        s2 = 1e-6
        mott = (z - fx(r, math.sqrt(s2))) * 0.02393367 / s2
        if abs(mott - limit) > 0.002 * limit:
            fail('xdt: %s: Mott factor %g at s^2 = 1e-4, limit %g' % (el.name, mott, limit))
    n_ions = 0
    try:
        from cctbx.eltbx import xray_scattering
    except ImportError:
        xray_scattering = None
        print('note: python3-cctbx not importable, ion values checked for form only')
    for r in rows:
        m = ION.match(r['name'])
        if not m:
            if r['name'] not in [gemmi.Element(z).name for z in range(1, 99)]:
                fail('xdt: unknown name %s' % r['name'])
            continue
        n_ions += 1
        z = gemmi.Element(m.group(1)).atomic_number
        if r['z'] != z:
            fail('xdt: %s has Z = %d, not %d' % (r['name'], r['z'], z))
        charge = int(m.group(2)) * (1 if m.group(3) == '+' else -1)
        total = sum(r['a']) + r['c']
        if abs(total - (z - charge)) > 0.002 * (z - charge) + 0.01:
            fail('xdt: %s: f_x(0) = %g, expected %d electrons' % (r['name'], total, z - charge))
        if xray_scattering is not None:
            g = xray_scattering.it1992(r['name'], True).fetch()
            ref = []
            for a, b in zip(g.array_of_a(), g.array_of_b()):
                ref += [a, b]
            ref.append(g.c())
            got = []
            for a, b in zip(r['a'], r['b']):
                got += [a, b]
            got.append(r['c'])
            if any(abs(x - y) > 1e-6 * max(1.0, abs(y)) for x, y in zip(got, ref)):
                fail('xdt: %s differs from cctbx IT1992' % r['name'])
    return len(rows), n_ions


def main():
    spg = sys.argv[1] if len(sys.argv) > 1 else 'data/korvexspg.dat'
    xdt = sys.argv[2] if len(sys.argv) > 2 else 'data/korvexxdt.dat'
    entries, float_lists = check_spg(spg)
    check_wyckoff(float_lists)
    total_ops = sum(len(v) for v in float_lists.values())
    print('%s: %d space groups, %d operations after expansion' % (spg, len(entries), total_ops))
    n_rows, n_ions = check_xdt(xdt)
    print('%s: %d entries (%d ions)' % (xdt, n_rows, n_ions))
    if FAILURES:
        print('%d check(s) failed' % len(FAILURES))
        return 1
    print('all checks passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())

#!/usr/bin/python3
"""Write data/korvexspg.dat: the symmetry operators of the 230 space groups.

Run with Debian's interpreter from the repository root:

    /usr/bin/python3 tools/gen_spacegroups.py [output-file]

Source: the space-group tables of python3-gemmi, cross-checked against the
Hall-symbol database of python3-spglib. For each group number the reference
setting of the International Tables is taken: unique axis b (cell choice 1)
for monoclinic groups, origin choice 2 (inversion centre at the origin) where
two origins are tabulated, hexagonal axes for the rhombohedral groups.

Each entry lists coset representatives only. The reader adds the lattice
centring translations and, when the entry's centrosymmetry flag is 1, the
inversion through the origin. Before anything is written, every entry is
expanded exactly as the reader does it and compared, as a set of operations
modulo lattice translations, with the full general position of both
libraries; any difference stops the tool with a non-zero exit status.
"""

import sys
from fractions import Fraction

import gemmi
import spglib

# Centring translations added by the reader, in its order (exact values here;
# the reader uses 7-digit decimals for the rhombohedral thirds).
CENTRING = {
    'P': [],
    'I': [(Fraction(1, 2), Fraction(1, 2), Fraction(1, 2))],
    'A': [(Fraction(0), Fraction(1, 2), Fraction(1, 2))],
    'B': [(Fraction(1, 2), Fraction(0), Fraction(1, 2))],
    'C': [(Fraction(1, 2), Fraction(1, 2), Fraction(0))],
    'F': [(Fraction(0), Fraction(1, 2), Fraction(1, 2)),
          (Fraction(1, 2), Fraction(0), Fraction(1, 2)),
          (Fraction(1, 2), Fraction(1, 2), Fraction(0))],
    'R': [(Fraction(2, 3), Fraction(1, 3), Fraction(1, 3)),
          (Fraction(1, 3), Fraction(2, 3), Fraction(2, 3))],
}

# Setting code: the Laue class, with the trigonal classes split by lattice and
# axes. Only 9 and 11 (rhombohedral lattice on hexagonal axes) change what
# the reader does; 6 and 7 would mark rhombohedral axes and are not used here.
SETTING_CODE = {
    '-1': 1, '2/m': 2, 'mmm': 3, '4/m': 4, '4/mmm': 5,
    '-3': 8, '-3m': 10, '6/m': 12, '6/mmm': 13, 'm-3': 14, 'm-3m': 15,
}
SETTING_CODE_R_HEX = {'-3': 9, '-3m': 11}

MAX_LINE = 99        # the reader's line buffer holds 99 characters and a zero
MAX_COMPONENT = 15   # an operator component must be shorter than 16 characters


class TableError(Exception):
    pass


def reduce_t(t):
    """Translation vector reduced to [0, 1) in every component."""
    return tuple(x - (x.numerator // x.denominator) for x in t)


def make_op(rot, t):
    """Operation as (rotation rows, translation mod 1), both hashable."""
    return (tuple(tuple(int(v) for v in row) for row in rot), reduce_t(t))


def compose(a, b):
    """The operation a after b: x -> Ra (Rb x + tb) + ta."""
    ra, ta = a
    rb, tb = b
    rot = tuple(tuple(sum(ra[i][k] * rb[k][j] for k in range(3)) for j in range(3))
                for i in range(3))
    t = tuple(sum(ra[i][k] * tb[k] for k in range(3)) + ta[i] for i in range(3))
    return make_op(rot, t)


def det3(r):
    return (r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1])
            - r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0])
            + r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]))


def gemmi_ops(sg):
    """Full general position of a gemmi space group, modulo lattice translations."""
    ops = sg.operations()
    den = gemmi.Op.DEN
    out = set()
    for c in ops.cen_ops:
        for s in ops.sym_ops:
            t = [Fraction(s.tran[i] + c[i], den) for i in range(3)]
            out.add(make_op([[v // den for v in row] for row in s.rot], t))
    return out


def spglib_ops(hall_number):
    d = spglib.get_symmetry_from_database(hall_number)
    out = set()
    for r, t in zip(d['rotations'], d['translations']):
        out.add(make_op(r, [Fraction(float(x)).limit_denominator(24) for x in t]))
    return out


def spglib_hall_numbers():
    """Hall numbers of spglib's database grouped by space-group number."""
    by_number = {}
    for h in range(1, 531):
        t = spglib.get_spacegroup_type(h)
        by_number.setdefault(int(t['number']), []).append(h)
    return by_number


def reference_setting(number):
    cands = [s for s in gemmi.spacegroup_table()
             if s.number == number and s.is_reference_setting()]
    if len(cands) != 1:
        raise TableError('space group %d: %d reference settings in gemmi' % (number, len(cands)))
    sg = cands[0]
    # Two origins: take the one with the inversion centre at the origin.
    if any(s.number == number and s.ext == '2' for s in gemmi.spacegroup_table()) and sg.ext != '2':
        raise TableError('space group %d: reference setting is not origin choice 2' % number)
    if sg.hm.startswith('R') and sg.ext != 'H':
        raise TableError('space group %d: reference setting is not on hexagonal axes' % number)
    if sg.crystal_system_str() == 'monoclinic' and sg.qualifier not in ('b', 'b1'):
        raise TableError('space group %d: monoclinic setting %r is not unique axis b'
                         % (number, sg.qualifier))
    return sg


def expand(listed, lattice, centro):
    """The reader's expansion: centring blocks, then the inversion of everything."""
    out = list(listed)
    for v in CENTRING[lattice]:
        out += [(r, tuple(t[i] + v[i] for i in range(3))) for r, t in listed]
    if centro:
        out += [(tuple(tuple(-x for x in row) for row in r), tuple(-x for x in t))
                for r, t in out]
    return out


def format_component(row, t):
    """One component such as -X+Y+1/3: letters first, then a positive fraction."""
    text = ''
    for coef, letter in zip(row, 'XYZ'):
        if coef == 0:
            continue
        if coef not in (1, -1):
            raise TableError('rotation element %d is not -1, 0 or +1' % coef)
        text += ('-' if coef < 0 else ('+' if text else '')) + letter
    if t != 0:
        if t.denominator > 9 or t.numerator > 9:
            raise TableError('translation %s needs more than one digit' % t)
        text += '+%d/%d' % (t.numerator, t.denominator)
    # The reader takes a letter as negative when the first '-' of the component
    # stands right before it; a second '-' would be read as '+'.
    if text.count('-') > 1:
        raise TableError('component %s has more than one minus sign' % text)
    if len(text) > MAX_COMPONENT:
        raise TableError('component %s is too long' % text)
    return text


def format_op(op):
    rot, t = op
    return ','.join(format_component(rot[i], t[i]) for i in range(3))


def entry_for(number, hall_by_number):
    sg = reference_setting(number)
    lattice = sg.hm[0]
    full = gemmi_ops(sg)
    if len(full) != len(sg.operations().cen_ops) * len(sg.operations().sym_ops):
        raise TableError('space group %d: duplicate operations in gemmi' % number)

    # The same setting in spglib's database, found by its set of operations.
    matches = [h for h in hall_by_number[number] if spglib_ops(h) == full]
    if len(matches) != 1:
        raise TableError('space group %d (%s): %d matching settings in spglib'
                         % (number, sg.xhm(), len(matches)))
    hall = matches[0]

    identity = ((1, 0, 0), (0, 1, 0), (0, 0, 1))
    inversion = make_op(tuple(tuple(-x for x in row) for row in identity), (0, 0, 0))
    centro = sg.is_centrosymmetric()
    if centro and inversion not in full:
        raise TableError('space group %d: centrosymmetric without inversion at the origin'
                         % number)

    ops = sg.operations()
    den = gemmi.Op.DEN
    listed = []
    for s in ops.sym_ops:
        rot = [[v // den for v in row] for row in s.rot]
        op = make_op(rot, [Fraction(x, den) for x in s.tran])
        if centro and det3(op[0]) < 0:
            continue
        listed.append(op)
    if listed[0] != make_op(identity, (0, 0, 0)):
        raise TableError('space group %d: first operator is not the identity' % number)

    expanded = expand(listed, lattice, centro)
    as_set = set(make_op(r, t) for r, t in expanded)
    if len(expanded) != len(full) or as_set != full:
        raise TableError('space group %d: expansion gives %d operations (%d distinct), '
                         'general position has %d' % (number, len(expanded), len(as_set), len(full)))

    laue = sg.laue_str()
    code = SETTING_CODE_R_HEX[laue] if lattice == 'R' else SETTING_CODE[laue]
    symbol = sg.hm.replace(' ', '')
    header = '%d %d %d %d %s' % (len(listed), 1 if centro else 0, number, code, symbol)
    lines = [header] + [format_op(op) for op in listed]
    for line in lines:
        if len(line) > MAX_LINE - 1:
            raise TableError('line too long: %s' % line)
    info = '%s Hall %s, spglib hall number %d, order %d' % (sg.xhm(), sg.hall, hall, len(full))
    return lines, info


def main():
    out_name = sys.argv[1] if len(sys.argv) > 1 else 'data/korvexspg.dat'
    hall_by_number = spglib_hall_numbers()
    body = []
    try:
        for number in range(1, 231):
            lines, _ = entry_for(number, hall_by_number)
            body += lines
    except TableError as e:
        sys.stderr.write('gen_spacegroups: %s\n' % e)
        return 1
    head = [
        '# Space-group operators, 230 groups, one entry per number.',
        '# Written by tools/gen_spacegroups.py from python3-gemmi %s,' % gemmi.__version__,
        '# cross-checked with python3-spglib %s.' % spglib.__version__,
        '# Entry: header "n centro number setting symbol", then n operator lines.',
        '# Listed: coset representatives only. Centring translations are added',
        '# from the first letter of the symbol, and the inversion through the',
        '# origin when centro is 1. Setting 9 and 11: R lattice, hexagonal axes.',
        '# Settings: unique axis b, origin choice 2, hexagonal axes for R.',
    ]
    with open(out_name, 'w', newline='\n') as f:
        f.write('\n'.join(head + body) + '\n')
    print('wrote %s: 230 space groups' % out_name)
    return 0


if __name__ == '__main__':
    sys.exit(main())

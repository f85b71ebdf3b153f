#!/usr/bin/python3
"""Renders a korvex SIM_RESULT simulation into a detector image.

Every disk of the simulation is placed on a detector of WIDTH x HEIGHT pixels
with a known camera geometry, and the image is written in every format the
importer reads. Geometry (pixel coordinates: x = column, y = row, origin at
the centre of the first pixel; angles from +x toward +y):

  detector offset of tilt-space point (u, v) (units of g1/2, u along g1,
  v along g2) = A (u, v), with
  A = scale * R(angle) * E * diag(1, handedness),
  E = R(phi) diag(sqrt(1 + ell), 1 / sqrt(1 + ell)) R(-phi)  (area kept),

so that scale = sqrt(|det A|) pixels per g1/2 and ell is the ratio of the
long to the short axis of a disk, less one. Reflection g with ZOLZ
coefficients (x_g, y_g) (units of g1, g2) and tilt (H, G) inside its disk
lands at u = 2 x_g + H, v = 2 y_g + G: the 000 disk is centred on (cx, cy).

Detector model: electrons = Poisson(dose * I / I_max(000)), spread by a
Gaussian point spread (sigma in pixels), counts = gain * sensitivity *
electrons + dark + Normal(0, read noise), rounded and clipped for integer
pixel types; the sensitivity is 1, or with --gain-ref-out a flat field that is
also written as a gain reference. --dark-out writes a dark reference.
NAME_truth.json holds the true geometry and detector settings. Every
pixel is sampled at SUPER x SUPER points so that disk edges are partial.

A second use, --test-pattern WxH, writes an image of known values
(value(x, y, frame) = (x + 7 y + 3 frame) mod 97 - 11 for signed types,
without the -11 for unsigned ones) to test the readers.

The DM3/DM4, TIFF and MRC writers are minimal ones of this tool; EMD is
written with h5py and .npy with numpy.
"""
import argparse
import json
import math
import os
import struct
import sys

import numpy as np

FORMATS = ("dm3", "dm4", "tif", "mrc", "emd", "npy")


# ---------------------------------------------------------------- simulation

def read_sim_result(path):
    """Reflections (hkl, x, y in g1/g2 units), grid side n, disk half-width d,
    tilt centre and the intensity grids [n][n] (row = G, column = H)."""
    lines = [l.rstrip("\n") for l in open(path)]
    data = [l.strip() for l in lines if l.strip() and not l.startswith("#")]
    if not data or data[0] != "SIM_RESULT":
        sys.exit(f"{path}: not a SIM_RESULT file")
    i = data.index("RF_INDEX{")
    num_g = int(data[i + 1])
    refl = []
    for k in range(num_g):
        f = data[i + 2 + k].split()
        refl.append(((int(f[0]), int(f[1]), int(f[2])), float(f[3]), float(f[4])))
    c = data.index("COORD{")
    npix, n = (int(v) for v in data[c + 1].split()[:2])
    hb, he, gb, ge = (float(v) for v in data[c + 2].split()[:4])
    d = he
    cr = data.index("CR_PARAMETERS{")
    tilt = [float(v) for v in data[cr + 4].split()[:2]]
    thick = float(data[cr + 5])
    p = n / d
    grids = {}
    k = 0
    while k < len(data):
        if data[k] == "RF{":
            hkl = tuple(int(v) for v in data[k + 1].split())
            vals = np.array([float(v) for v in data[k + 2:k + 2 + npix]])
            grids[hkl] = vals.reshape(n, n)
            k += 2 + npix
        else:
            k += 1
    return {"refl": [(g, x / p, y / p) for g, x, y in refl], "n": n, "d": d, "grids": grids,
            "tilt": tilt, "thickness": thick}


def geometry_matrix(scale, angle_deg, ell, phi_deg, hand):
    def rot(a):
        return np.array([[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]])
    a = math.radians(angle_deg)
    phi = math.radians(phi_deg)
    e = rot(phi) @ np.diag([math.sqrt(1 + ell), 1 / math.sqrt(1 + ell)]) @ rot(-phi)
    return scale * rot(a) @ e @ np.diag([1.0, float(hand)])


def bilinear(grid, d, H, G):
    """Intensity at tilts (H, G) (arrays) on the grid spanning [-d, d]."""
    n = grid.shape[0]
    step = 2 * d / (n - 1)
    gx = np.clip((H + d) / step, 0, n - 1 - 1e-9)
    gy = np.clip((G + d) / step, 0, n - 1 - 1e-9)
    ix = gx.astype(int)
    iy = gy.astype(int)
    fx = gx - ix
    fy = gy - iy
    return ((grid[iy, ix] * (1 - fx) + grid[iy, ix + 1] * fx) * (1 - fy)
            + (grid[iy + 1, ix] * (1 - fx) + grid[iy + 1, ix + 1] * fx) * fy)


def fill_outside(grid, d):
    """The grid with every point outside the disk given the value of the
    nearest point inside, so that interpolation near the rim does not mix in
    the zeros of outside points: the disk edge stays sharp at radius d."""
    n = grid.shape[0]
    t = np.linspace(-d, d, n)
    H, G = np.meshgrid(t, t)
    inside = H * H + G * G < d * d * (1 + 1e-12)
    iy, ix = np.nonzero(inside)
    out = grid.copy()
    oy, ox = np.nonzero(~inside)
    for y, x in zip(oy, ox):
        k = np.argmin((iy - y) ** 2 + (ix - x) ** 2)
        out[y, x] = grid[iy[k], ix[k]]
    return out


def render(sim, args):
    """Expected electrons per pixel (before noise and point spread)."""
    w, h = args.width, args.height
    A = geometry_matrix(args.scale, args.angle, args.ellipticity, args.ell_angle, args.handedness)
    Ainv = np.linalg.inv(A)
    ss = args.super
    img = np.zeros((h, w))
    off = (np.arange(ss) + 0.5) / ss - 0.5
    ys, xs = np.mgrid[0:h, 0:w].astype(float)
    d = sim["d"] * args.disk_fraction
    i000 = sim["grids"][(0, 0, 0)].max()
    filled = {g: fill_outside(sim["grids"][g], sim["d"]) for g, _, _ in sim["refl"]}
    for oy in off:
        for ox in off:
            px = xs + ox - args.cx
            py = ys + oy - args.cy
            u = Ainv[0, 0] * px + Ainv[0, 1] * py
            v = Ainv[1, 0] * px + Ainv[1, 1] * py
            for g, x, y in sim["refl"]:
                H = u - 2 * x
                G = v - 2 * y
                inside = H * H + G * G < d * d
                if not inside.any():
                    continue
                img[inside] += bilinear(filled[g], sim["d"], H[inside], G[inside])
    return img / (ss * ss) / i000 * args.dose


def gaussian_blur(img, sigma):
    if sigma <= 0:
        return img
    r = int(math.ceil(4 * sigma))
    t = np.arange(-r, r + 1)
    k = np.exp(-0.5 * (t / sigma) ** 2)
    k /= k.sum()
    out = np.apply_along_axis(lambda m: np.convolve(np.pad(m, r, mode="edge"), k, mode="valid"), 1, img)
    return np.apply_along_axis(lambda m: np.convolve(np.pad(m, r, mode="edge"), k, mode="valid"), 0, out)


def detector(expected, args, rng, sens):
    e = rng.poisson(expected).astype(float) if args.poisson else expected
    e = gaussian_blur(e, args.psf)
    counts = args.gain * sens * e + args.dark
    if args.read_noise > 0:
        counts = counts + rng.normal(0.0, args.read_noise, counts.shape)
    return counts


# ---------------------------------------------------------------- pixel types

DTYPES = {"int8": "i1", "uint8": "u1", "int16": "i2", "uint16": "u2", "int32": "i4", "uint32": "u4",
          "float16": "f2", "float32": "f4", "float64": "f8"}


def to_dtype(a, name):
    dt = np.dtype(DTYPES[name])
    if dt.kind in "iu":
        info = np.iinfo(dt)
        return np.clip(np.rint(a), info.min, info.max).astype(dt)
    return a.astype(dt)


# ---------------------------------------------------------------- writers

def dm_write(path, frames, version, little, meta, calib):
    """A minimal DigitalMicrograph file: a small thumbnail entry, then the
    image with its calibration and microscope tags."""
    be_word = ">Q" if version == 4 else ">I"
    order = "<" if little else ">"

    def word(v):
        return struct.pack(be_word, v)

    def tag(name, body, is_group):
        lab = name.encode("latin-1")
        head = struct.pack(">BH", 20 if is_group else 21, len(lab)) + lab
        if version == 4:
            head += struct.pack(">Q", len(body))
        return head + body

    def group(entries):
        body = struct.pack(">BB", 0, 1) + word(len(entries))
        return body + b"".join(entries)

    def simple(name, code, fmt, value):
        body = b"%%%%" + word(1) + word(code) + struct.pack(order + fmt, value)
        return tag(name, body, False)

    def string(name, text):
        enc = text.encode("utf-16-le" if little else "utf-16-be")
        body = b"%%%%" + word(2) + word(18) + word(len(text)) + enc
        return tag(name, body, False)

    def array(name, code, raw, count):
        body = b"%%%%" + word(3) + word(20) + word(code) + word(count) + raw
        return tag(name, body, False)

    dm_types = {"int16": (1, 2), "float32": (2, 6), "uint8": (6, 10), "int32": (7, 3), "int8": (9, 10),
                "uint16": (10, 4), "uint32": (11, 5), "float64": (12, 7)}

    def image_entry(a, with_tags, rgb=False):
        dtype_name = [k for k, v in DTYPES.items() if np.dtype(v) == a.dtype.newbyteorder("=")][0]
        data_type, elem = (23, 5) if rgb else dm_types[dtype_name]
        raw = a.astype(a.dtype.newbyteorder(order)).tobytes()
        count = a.size
        if a.dtype.itemsize != {2: 2, 6: 4, 10: 1, 3: 4, 4: 2, 5: 4, 7: 8}[elem]:
            raise SystemExit("internal: element size")
        nd = a.shape[::-1]  # width, height(, frames)
        dims = group([simple("", 5, "I", v) for v in nd])
        axes = list(calib) + [(0.0, 1.0, "")] * (len(nd) - 2)
        cal_dims = group([tag("", group([simple("Origin", 6, "f", o), simple("Scale", 6, "f", s),
                                         string("Units", u)]), True) for o, s, u in axes])
        image_data = group([tag("Calibrations", group([simple("Brightness", 6, "f", 1.0),
                                                        tag("Dimension", cal_dims, True)]), True),
                            array("Data", elem, raw, count), simple("DataType", 3, "i", data_type),
                            tag("Dimensions", dims, True), simple("PixelDepth", 3, "i", a.dtype.itemsize)])
        entries = [tag("ImageData", image_data, True)]
        if with_tags:
            mic = group([simple("Voltage", 7, "d", meta["voltage_kv"] * 1000.0),
                         simple("STEM Camera Length", 6, "f", meta["camera_length_mm"])])
            bar = group([simple("Exposure Time (s)", 7, "d", meta["exposure_s"])])
            entries.append(tag("ImageTags", group([tag("DataBar", bar, True), tag("Microscope Info", mic, True)]), True))
        entries.append(string("Name", "pattern"))
        return group(entries)

    thumb = np.full((8, 8), 0x00808080, dtype=np.uint32)  # an RGB thumbnail, as DigitalMicrograph writes
    image_list = group([tag("", image_entry(thumb, False, rgb=True), True), tag("", image_entry(frames, True), True)])
    root = group([tag("ImageList", image_list, True), simple("InImageMode", 8, "B", 1)])
    head = struct.pack(">I", version) + (struct.pack(">Q", len(root)) if version == 4 else struct.pack(">I", len(root)))
    head += struct.pack(">I", 1 if little else 0)
    with open(path, "wb") as f:
        f.write(head + root + b"\0" * 8)


def tiff_write(path, frames, little):
    """Uncompressed strips, one page per frame."""
    o = "<" if little else ">"
    a = frames if frames.ndim == 3 else frames[None]
    nf, h, w = a.shape
    dt = a.dtype
    fmt = {"u": 1, "i": 2, "f": 3}[dt.kind]
    bits = dt.itemsize * 8
    out = bytearray(b"II*\0" if little else b"MM\0*")
    out += struct.pack(o + "I", 0)
    prev_link = 4
    for k in range(nf):
        raw = a[k].astype(dt.newbyteorder(o)).tobytes()
        data_at = len(out)
        out += raw
        if len(out) % 2:
            out += b"\0"
        ifd_at = len(out)
        struct.pack_into(o + "I", out, prev_link, ifd_at)
        entries = [(256, 4, w), (257, 4, h), (258, 3, bits), (259, 3, 1), (262, 3, 1), (273, 4, data_at),
                   (277, 3, 1), (278, 4, h), (279, 4, len(raw)), (284, 3, 1), (339, 3, fmt)]
        out += struct.pack(o + "H", len(entries))
        for tagno, typ, val in entries:
            if typ == 3:
                out += struct.pack(o + "HHIHH", tagno, typ, 1, val, 0)
            else:
                out += struct.pack(o + "HHII", tagno, typ, 1, val)
        prev_link = len(out)
        out += struct.pack(o + "I", 0)
    with open(path, "wb") as f:
        f.write(out)


def mrc_write(path, frames, little, pixel_a):
    o = "<" if little else ">"
    a = frames if frames.ndim == 3 else frames[None]
    nf, h, w = a.shape
    mode = {"i1": 0, "i2": 1, "f4": 2, "u2": 6, "f2": 12}[a.dtype.str[1:]]
    head = bytearray(1024)
    struct.pack_into(o + "4i", head, 0, w, h, nf, mode)
    struct.pack_into(o + "3i", head, 28, w, h, nf)
    struct.pack_into(o + "3f", head, 40, w * pixel_a, h * pixel_a, nf * pixel_a)
    struct.pack_into(o + "3f", head, 52, 90.0, 90.0, 90.0)
    struct.pack_into(o + "3i", head, 64, 1, 2, 3)
    struct.pack_into(o + "i", head, 104 - 0, 0)
    struct.pack_into(o + "i", head, 108, 20140)
    head[208:212] = b"MAP "
    head[212:214] = b"\x44\x44" if little else b"\x11\x11"
    with open(path, "wb") as f:
        f.write(bytes(head) + a.astype(a.dtype.newbyteorder(o)).tobytes())


def emd_write(path, frames, calib, meta):
    import h5py
    with h5py.File(path, "w") as f:
        f.attrs["version_major"] = 1
        f.attrs["version_minor"] = 0
        g = f.create_group("data").create_group("pattern")
        g.attrs["emd_group_type"] = 1
        g.create_dataset("data", data=frames)
        axes = []
        if frames.ndim == 3:
            axes.append((np.arange(frames.shape[0], dtype=float), "frame", ""))
        h, w = frames.shape[-2:]
        (ox, sx, ux), (oy, sy, uy) = calib
        axes.append(((np.arange(h) - oy) * sy, "y", uy))
        axes.append(((np.arange(w) - ox) * sx, "x", ux))
        for k, (vals, name, unit) in enumerate(axes, start=1):
            dset = g.create_dataset(f"dim{k}", data=vals)
            # fixed-length strings: the importer reads no variable-length ones
            dset.attrs["name"] = np.bytes_(name)
            if unit:
                dset.attrs["units"] = np.bytes_(unit)


def write_all(base, frames, args, meta, calib, formats):
    written = []
    for fmt in formats:
        path = f"{base}.{fmt}"
        if fmt in ("dm3", "dm4"):
            dm_write(path, frames, 3 if fmt == "dm3" else 4, not args.big_endian, meta, calib)
        elif fmt == "tif":
            tiff_write(path, frames, not args.big_endian)
        elif fmt == "mrc":
            mrc_write(path, frames, not args.big_endian, args.mrc_pixel_a)
        elif fmt == "emd":
            emd_write(path, frames, calib, meta)
        elif fmt == "npy":
            np.save(path, frames.astype(frames.dtype.newbyteorder(">" if args.big_endian else "<")))
        written.append(path)
    return written


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("sim_result", nargs="?", help="SIM_RESULT file of korvex (calc_type 2 or 3)")
    ap.add_argument("--out", default="cbed", help="base name of the images")
    ap.add_argument("--formats", default=",".join(FORMATS))
    ap.add_argument("--dtype", default="float32", choices=sorted(DTYPES))
    ap.add_argument("--big-endian", action="store_true")
    ap.add_argument("--width", type=int, default=256)
    ap.add_argument("--height", type=int, default=256)
    ap.add_argument("--cx", type=float, default=None, help="000 centre column (default: middle)")
    ap.add_argument("--cy", type=float, default=None, help="000 centre row (default: middle)")
    ap.add_argument("--scale", type=float, default=20.0, help="pixels per g1/2")
    ap.add_argument("--angle", type=float, default=0.0, help="angle of g1 on the detector (degrees)")
    ap.add_argument("--handedness", type=int, default=1, choices=(1, -1))
    ap.add_argument("--ellipticity", type=float, default=0.0, help="long over short disk axis, less one")
    ap.add_argument("--ell-angle", type=float, default=0.0, help="direction of the long axis (degrees)")
    ap.add_argument("--disk-fraction", type=float, default=1.0,
                    help="disk radius as a fraction of the simulated disk")
    ap.add_argument("--dose", type=float, default=1000.0, help="electrons at the brightest point of 000")
    ap.add_argument("--gain", type=float, default=1.0, help="counts per electron")
    ap.add_argument("--dark", type=float, default=0.0, help="dark offset (counts)")
    ap.add_argument("--read-noise", type=float, default=0.0, help="read noise (counts, r.m.s.)")
    ap.add_argument("--psf", type=float, default=0.0, help="point spread (Gaussian sigma, pixels)")
    ap.add_argument("--no-poisson", dest="poisson", action="store_false")
    ap.add_argument("--frames", type=int, default=1, help="split the dose over this many frames")
    ap.add_argument("--super", type=int, default=3, help="samples per pixel along each axis")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--voltage", type=float, default=200.0, help="kV written to the metadata")
    ap.add_argument("--camera-length", type=float, default=250.0, help="mm written to the metadata")
    ap.add_argument("--exposure", type=float, default=0.5, help="seconds written to the metadata")
    ap.add_argument("--calibration", type=float, default=0.0125, help="1/nm per pixel written as calibration")
    ap.add_argument("--mrc-pixel-a", type=float, default=1.0, help="MRC pixel size (angstrom)")
    ap.add_argument("--dark-out", default=None,
                    help="also write a dark reference (the mean of 16 dark frames) under this base name")
    ap.add_argument("--gain-ref-out", default=None,
                    help="give the pixels a sensitivity scatter with dead pixels and write it as a gain reference")
    ap.add_argument("--test-pattern", default=None, help="WxH[xFRAMES]: known values instead of a pattern")
    args = ap.parse_args()
    formats = [f for f in args.formats.split(",") if f]
    for f in formats:
        if f not in FORMATS:
            sys.exit(f"unknown format {f} (known: {', '.join(FORMATS)})")
    meta = {"voltage_kv": args.voltage, "camera_length_mm": args.camera_length, "exposure_s": args.exposure}

    if args.test_pattern:
        dims = [int(v) for v in args.test_pattern.lower().split("x")]
        w, h = dims[0], dims[1]
        nf = dims[2] if len(dims) > 2 else 1
        k, y, x = np.mgrid[0:nf, 0:h, 0:w]
        vals = (x + 7 * y + 3 * k) % 97
        if np.dtype(DTYPES[args.dtype]).kind != "u":
            vals = vals - 11
        frames = to_dtype(vals.astype(float), args.dtype)
        if nf == 1:
            frames = frames[0]
        calib = [(w / 2, args.calibration, "1/nm"), (h / 2, args.calibration, "1/nm")]
        for p in write_all(args.out, frames, args, meta, calib, formats):
            print(p)
        return

    if not args.sim_result:
        sys.exit("a SIM_RESULT file (or --test-pattern) is needed")
    sim = read_sim_result(args.sim_result)
    if args.cx is None:
        args.cx = (args.width - 1) / 2
    if args.cy is None:
        args.cy = (args.height - 1) / 2
    rng = np.random.default_rng(args.seed)
    expected = render(sim, args)
    # Pixel sensitivity: 1 everywhere, or with --gain-ref-out a flat field of
    # 5 % r.m.s. scatter with one pixel in a thousand dead (0).
    sens = np.ones_like(expected)
    dead = 0
    if args.gain_ref_out:
        sens = np.clip(1.0 + 0.05 * rng.standard_normal(expected.shape), 0.5, 1.5)
        sens[rng.random(expected.shape) < 0.001] = 0.0
        dead = int((sens == 0).sum())
    if args.frames > 1:
        frames = np.stack([detector(expected / args.frames, args, rng, sens) for _ in range(args.frames)])
    else:
        frames = detector(expected, args, rng, sens)
    frames = to_dtype(frames, args.dtype)
    calib = [(args.cx, args.calibration, "1/nm"), (args.cy, args.calibration, "1/nm")]
    written = write_all(args.out, frames, args, meta, calib, formats)
    if args.gain_ref_out:
        written += write_all(args.gain_ref_out, (1000.0 * sens).astype(np.float32), args, meta, calib, ["tif"])
    if args.dark_out:
        dark = args.dark + rng.normal(0.0, args.read_noise / 4.0, expected.shape)
        written += write_all(args.dark_out, dark.astype(np.float32), args, meta, calib, ["tif"])
    A = geometry_matrix(args.scale, args.angle, args.ellipticity, args.ell_angle, args.handedness)
    truth = {"centre_x_px": args.cx, "centre_y_px": args.cy, "px_per_g1half": args.scale,
             "g1_angle_deg": args.angle, "handedness": args.handedness, "ellipticity": args.ellipticity,
             "disk_radius_px": args.scale * sim["d"] * args.disk_fraction,
             "disk_half_width": sim["d"] * args.disk_fraction, "dose": args.dose, "gain": args.gain,
             "electrons_per_unit": args.dose / sim["grids"][(0, 0, 0)].max(), "dead_pixels": dead,
             "dark": args.dark, "read_noise": args.read_noise, "psf": args.psf, "frames": args.frames,
             "matrix": A.tolist()}
    with open(args.out + "_truth.json", "w") as f:
        json.dump(truth, f, indent=1)
    for p in written:
        print(p)


if __name__ == "__main__":
    main()

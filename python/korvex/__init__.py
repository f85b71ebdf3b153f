"""korvex from Python: the library under the korvex and talvis programs.

    import korvex
    r = korvex.simulate("examples/si_110_200kv.dat")     # numpy arrays, nothing written
    r["intensity"].shape                                 # (thickness, reflection, tilt)
    korvex.run("si110_fit.dat", workdir="fit")           # any job, as the program runs it
    fit = korvex.read_fit("fit/si110_fit_fit.h5")        # refined values, s.u., covariance

A refusal raises korvex.Error with the program's own message.
"""
from ._korvex import Error, read_fit, run, simulate

__all__ = ["Error", "read_fit", "run", "simulate"]

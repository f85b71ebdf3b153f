#pragma once
// Readers of the condition blocks of the Bloch-wave analysis jobs (dispersion
// surface, Bloch states, thickness fringes). Each reads its block into the
// simulation-condition record; the jobs themselves are in jobs/jobs.hpp.
#include <cstdio>

#include "jobs/simulation.hpp"

namespace kv {

void input_dispsurf_data(sd& s, csd& c, FILE* fp);
void input_bloch_data(sd& s, csd& c, FILE* fp);
void input_tfringe_data(sd& s, csd& c, FILE* fp);

}  // namespace kv

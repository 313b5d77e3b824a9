#pragma once
// Closed-form derivatives of the patch displacement (the 9-value output of
// okada_patch) with respect to the point position, the patch length, width,
// depth, dip and the three slips.  Angles in radians unless stated.
#include <array>

#include "model/vec9.hpp"

namespace vadrel {

struct DeruXY {
  Vec9 dx{};  // du/dx (along strike)
  Vec9 dy{};  // du/dy (across strike)
};

inline bool all_finite(const DeruXY& d) { return all_finite(d.dx) && all_finite(d.dy); }

// Corner kernels.
DeruXY deru1_x(double xi, double eta, double delta, double q, double alpha,
               double U1, double U2, double U3);
Vec9 deru_p(double xi, double delta, double eta, double q, double alpha,
            double U1, double U2, double U3);
Vec9 deru1_delta(double xi, double y, double delta, double depth, double p,
                 double q, double w, double alpha, double U1, double U2,
                 double U3);
Vec9 deru1_d(double xi, double y, double delta, double depth, double p,
             double q, double w, double alpha, double U1, double U2,
             double U3);

// Corner sums.  Common argument order: x, y (patch frame), delta (dip in
// radians), depth, U1, U2, U3, L, W, lambda, mu.
DeruXY deru_x(double x, double y, double delta, double depth, double U1,
              double U2, double U3, double L, double W, double lambda,
              double mu);
Vec9 deru_l(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda, double mu);
Vec9 deru_w(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda, double mu);
Vec9 deru_delta(double x, double y, double delta, double depth, double U1,
                double U2, double U3, double L, double W, double lambda,
                double mu);
Vec9 deru_d(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda, double mu);

// Derivatives with respect to U1, U2, U3 (dip in degrees here): each array
// holds its own triple of the unit-slip displacement and zeros elsewhere.
std::array<Vec9, 3> deru_u(double x, double y, double dip_deg, double depth,
                           double U1, double U2, double U3, double L, double W,
                           double lambda, double mu);

// Copies one 9-value array into another.
inline void ech(const Vec9& a, Vec9& b) { b = a; }

}  // namespace vadrel

// The bounded robust solver on problems whose solutions are known exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/base/errors.hpp"
#include "core/numeric/trf.hpp"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

const double kInf = std::numeric_limits<double>::infinity();

// Linear residuals f = A x - b.
ecm::LsqProblem linear_problem(const MatrixXd& A, const VectorXd& b) {
    ecm::LsqProblem p;
    p.fun = [A, b](const VectorXd& x, VectorXd& f) { f = A * x - b; };
    p.jac = [A](const VectorXd&, const VectorXd&, MatrixXd& J) { J = A; };
    return p;
}

ecm::LsqProblem rosenbrock() {
    ecm::LsqProblem p;
    p.fun = [](const VectorXd& x, VectorXd& f) {
        f.resize(2);
        f << 10.0 * (x[1] - x[0] * x[0]), 1.0 - x[0];
    };
    p.jac = [](const VectorXd& x, const VectorXd&, MatrixXd& J) {
        J.resize(2, 2);
        J << -20.0 * x[0], 10.0, -1.0, 0.0;
    };
    return p;
}

ecm::LsqOptions tight(ecm::Loss loss = ecm::Loss::Linear, double f_scale = 1.0) {
    ecm::LsqOptions o;
    o.loss = loss;
    o.f_scale = f_scale;
    o.ftol = o.xtol = o.gtol = 1e-12;
    return o;
}

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        const auto nl = s.find('\n', pos);
        out.push_back(s.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

}  // namespace

TEST(TrfLinear, ReachesTheLeastSquaresSolutionWithAndWithoutBounds) {
    std::mt19937 gen(7);
    std::normal_distribution<double> nd;
    MatrixXd A(50, 3);
    VectorXd b(50);
    for (int r = 0; r < 50; ++r) {
        for (int c = 0; c < 3; ++c) A(r, c) = nd(gen);
        b[r] = nd(gen);
    }
    const VectorXd exact = A.colPivHouseholderQr().solve(b);
    const VectorXd x0 = VectorXd::Zero(3);
    // unbounded, then inactive finite bounds, then half-infinite bounds
    const std::vector<std::pair<double, double>> boxes = {{-kInf, kInf}, {-10.0, 10.0}, {-kInf, 5.0}};
    for (const auto& [lo, hi] : boxes) {
        const auto res = ecm::least_squares_trf(linear_problem(A, b), x0, VectorXd::Constant(3, lo),
                                                VectorXd::Constant(3, hi), tight());
        EXPECT_TRUE(res.success) << res.message;
        EXPECT_LT((res.x - exact).norm(), 1e-8) << "bounds " << lo << " " << hi;
        EXPECT_NEAR(res.cost, 0.5 * (A * exact - b).squaredNorm(), 1e-10);
        EXPECT_LT((res.grad - A.transpose() * (A * res.x - b)).norm(), 1e-12);
        EXPECT_EQ(res.active_mask, Eigen::VectorXi::Zero(3));
        EXPECT_EQ(res.fun.size(), 50);
        EXPECT_LE(res.njev, res.nfev);
    }
}

TEST(TrfBounds, EndsOnTheProjectionWhenTheMinimumLiesOutside) {
    // min 0.5 |x - c|^2 over the box [0, 1]^3 with c partly outside: the
    // solution is c clipped to the box.
    const VectorXd c = (VectorXd(3) << -0.5, 0.3, 2.0).finished();
    const VectorXd expected = (VectorXd(3) << 0.0, 0.3, 1.0).finished();
    const auto res = ecm::least_squares_trf(linear_problem(MatrixXd::Identity(3, 3), c), VectorXd::Constant(3, 0.5),
                                            VectorXd::Zero(3), VectorXd::Ones(3), tight());
    EXPECT_TRUE(res.success) << res.message;
    EXPECT_LT((res.x - expected).lpNorm<Eigen::Infinity>(), 1e-6);
    EXPECT_EQ(res.active_mask, (Eigen::VectorXi(3) << -1, 0, 1).finished());
    for (int j = 0; j < 3; ++j) {
        EXPECT_GE(res.x[j], 0.0);
        EXPECT_LE(res.x[j], 1.0);
    }
}

TEST(TrfBounds, StartOnABoundIsMovedInsideAndStartOutsideIsRejected) {
    const VectorXd c = (VectorXd(2) << 0.25, 0.75).finished();
    std::vector<VectorXd> seen;
    auto prob = linear_problem(MatrixXd::Identity(2, 2), c);
    auto inner = prob.fun;
    prob.fun = [&](const VectorXd& x, VectorXd& f) {
        seen.push_back(x);
        inner(x, f);
    };
    const VectorXd lb = VectorXd::Zero(2), ub = VectorXd::Ones(2);
    const auto res = ecm::least_squares_trf(prob, (VectorXd(2) << 0.0, 1.0).finished(), lb, ub, tight());
    ASSERT_FALSE(seen.empty());
    EXPECT_GT(seen.front()[0], 0.0);
    EXPECT_LT(seen.front()[1], 1.0);
    for (const auto& x : seen) EXPECT_TRUE((x.array() > lb.array()).all() && (x.array() < ub.array()).all());
    EXPECT_LT((res.x - c).norm(), 1e-8);

    EXPECT_THROW(ecm::least_squares_trf(prob, (VectorXd(2) << -0.1, 0.5).finished(), lb, ub, tight()),
                 std::invalid_argument);
    EXPECT_THROW(ecm::least_squares_trf(prob, (VectorXd(2) << 0.5, 0.5).finished(), ub, lb, tight()),
                 std::invalid_argument);
}

TEST(TrfTermination, RosenbrockConvergesAndBudgetStopsWithStatusZero) {
    const VectorXd x0 = (VectorXd(2) << -1.2, 1.0).finished();
    const VectorXd lb = VectorXd::Constant(2, -kInf), ub = VectorXd::Constant(2, kInf);
    const auto res = ecm::least_squares_trf(rosenbrock(), x0, lb, ub, tight());
    EXPECT_TRUE(res.success);
    EXPECT_GT(res.status, 0);
    EXPECT_LT((res.x - VectorXd::Ones(2)).norm(), 1e-8);
    EXPECT_LT(res.cost, 1e-20);

    auto opt = tight();
    opt.max_nfev = 3;
    const auto cut = ecm::least_squares_trf(rosenbrock(), x0, lb, ub, opt);
    EXPECT_EQ(cut.status, 0);
    EXPECT_FALSE(cut.success);
    EXPECT_EQ(cut.nfev, 3);
    EXPECT_EQ(cut.message, "The maximum number of function evaluations is exceeded.");
    EXPECT_LE(cut.cost, 0.5 * (4.4 * 4.4 + 2.2 * 2.2));  // never above the start cost

    // default budget is 100 evaluations per parameter
    auto loose = tight();
    loose.ftol = loose.xtol = loose.gtol = 0.0;
    const auto capped = ecm::least_squares_trf(rosenbrock(), x0, lb, ub, loose);
    EXPECT_LE(capped.nfev, 200);
}

TEST(TrfTermination, StatusCodesFollowTheirTests) {
    // A linear problem solved by the first Gauss-Newton step: with gtol large
    // the start already satisfies gtol (status 1, one evaluation).
    MatrixXd A = MatrixXd::Identity(2, 2);
    VectorXd b = (VectorXd(2) << 1.0, 2.0).finished();
    const VectorXd lb = VectorXd::Constant(2, -kInf), ub = VectorXd::Constant(2, kInf);
    auto opt = tight();
    opt.gtol = 10.0;
    auto res = ecm::least_squares_trf(linear_problem(A, b), VectorXd::Zero(2), lb, ub, opt);
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.nfev, 1);
    EXPECT_EQ(res.message, "`gtol` termination condition is satisfied.");
    // With gtol switched off, an exact solve ends on ftol (cost reduction to
    // zero is "relative change below ftol" only once the cost is at zero) or xtol.
    opt.gtol = 0.0;
    res = ecm::least_squares_trf(linear_problem(A, b), VectorXd::Zero(2), lb, ub, opt);
    EXPECT_GE(res.status, 2);
    EXPECT_LT((res.x - b).norm(), 1e-12);
    for (int s = 0; s <= 4; ++s) EXPECT_FALSE(std::string(ecm::lsq_status_message(s)).empty());
}

TEST(TrfRobust, HuberCostAndOutlierResistance) {
    // Line fit y = 2 + 0.5 t with three gross outliers.
    const int m = 40;
    VectorXd t(m), y(m);
    for (int k = 0; k < m; ++k) {
        t[k] = k;
        y[k] = 2.0 + 0.5 * k + 0.01 * std::sin(3.0 * k);
    }
    y[5] += 30.0;
    y[17] -= 25.0;
    y[33] += 40.0;
    MatrixXd A(m, 2);
    A.col(0).setOnes();
    A.col(1) = t;
    const VectorXd lb = VectorXd::Constant(2, -kInf), ub = VectorXd::Constant(2, kInf);
    const auto lin = ecm::least_squares_trf(linear_problem(A, y), VectorXd::Zero(2), lb, ub, tight());
    const auto hub =
        ecm::least_squares_trf(linear_problem(A, y), VectorXd::Zero(2), lb, ub, tight(ecm::Loss::Huber, 0.1));
    EXPECT_GT(std::abs(lin.x[0] - 2.0), 0.2);  // the outliers pull the plain fit
    EXPECT_NEAR(hub.x[0], 2.0, 0.02);
    EXPECT_NEAR(hub.x[1], 0.5, 0.001);
    // cost = 0.5 * sum(F^2 rho((f/F)^2)), Huber rho(z) = z (z <= 1), 2 sqrt(z) - 1 (z > 1)
    double cost = 0.0;
    for (int k = 0; k < m; ++k) {
        const double z = std::pow(hub.fun[k] / 0.1, 2);
        cost += 0.01 * (z <= 1.0 ? z : 2.0 * std::sqrt(z) - 1.0);
    }
    EXPECT_NEAR(hub.cost, 0.5 * cost, 1e-12 * cost);
    EXPECT_LT((hub.fun - (A * hub.x - y)).norm(), 1e-12);  // fun holds the raw residuals
}

TEST(TrfRobust, NonFiniteResidualsShrinkTheRegionOrAreRejectedAtTheStart) {
    // Residual undefined beyond x = 2 (NaN there); the minimum at 1.5 is reached.
    ecm::LsqProblem p;
    int nan_trials = 0;
    p.fun = [&](const VectorXd& x, VectorXd& f) {
        f.resize(1);
        if (x[0] > 2.0) {
            ++nan_trials;
            f[0] = std::nan("");
        } else {
            f[0] = std::exp(x[0]) - std::exp(1.5);
        }
    };
    p.jac = [](const VectorXd& x, const VectorXd&, MatrixXd& J) {
        J.resize(1, 1);
        J(0, 0) = std::exp(x[0]);
    };
    const VectorXd lb = VectorXd::Constant(1, -kInf), ub = VectorXd::Constant(1, kInf);
    const auto res = ecm::least_squares_trf(p, VectorXd::Constant(1, -3.0), lb, ub, tight());
    EXPECT_NEAR(res.x[0], 1.5, 1e-8);
    EXPECT_GT(nan_trials, 0);

    try {
        ecm::least_squares_trf(p, VectorXd::Constant(1, 2.5), lb, ub, tight());
        FAIL() << "expected DataError";
    } catch (const ecm::DataError& e) {
        EXPECT_EQ(std::string(e.what()), "residuals are not finite at the start vector [2.5]");
    }
}

TEST(TrfReport, ProgressTableAndClosingLines) {
    std::string out;
    auto opt = tight();
    opt.verbose = 2;
    opt.print = [&](const std::string& s) {
        ASSERT_FALSE(s.empty());
        ASSERT_EQ(s.back(), '\n');  // whole lines only
        out += s;
    };
    const VectorXd x0 = (VectorXd(2) << -1.2, 1.0).finished();
    const VectorXd lb = VectorXd::Constant(2, -5.0), ub = VectorXd::Constant(2, 5.0);
    const auto res = ecm::least_squares_trf(rosenbrock(), x0, lb, ub, opt);
    const auto lines = split_lines(out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "   Iteration     Total nfev        Cost      Cost reduction    Step norm     Optimality   ");
    // row 0: iteration, nfev, cost, 30 blanks, optimality; each column 15 wide
    EXPECT_EQ(lines[1].size(), 90u);
    EXPECT_EQ(lines[1].substr(0, 15), "       0       ");
    EXPECT_EQ(lines[1].substr(15, 15), "       1       ");
    EXPECT_EQ(lines[1].substr(30, 15), "  1.2100e+01   ");  // 0.5 * (4.4^2 + 2.2^2)
    EXPECT_EQ(lines[1].substr(45, 30), std::string(30, ' '));
    for (std::size_t k = 2; k + 2 < lines.size(); ++k) EXPECT_EQ(lines[k].size(), 90u) << lines[k];
    EXPECT_EQ(lines[lines.size() - 2], res.message);
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "Function evaluations %d, initial cost 1.2100e+01, final cost %.4e, first-order optimality %.2e.",
                  res.nfev, res.cost, res.optimality);
    EXPECT_EQ(lines.back(), buf);

    out.clear();
    opt.verbose = 1;
    ecm::least_squares_trf(rosenbrock(), x0, lb, ub, opt);
    EXPECT_EQ(split_lines(out).size(), 2u);
    out.clear();
    opt.verbose = 0;
    ecm::least_squares_trf(rosenbrock(), x0, lb, ub, opt);
    EXPECT_TRUE(out.empty());
}

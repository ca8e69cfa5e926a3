#include "ArmSimulation.h"

#include <algorithm>
#include <cmath>

namespace kivra_emulator {

namespace {

constexpr double DEGREES_PER_RADIAN = 57.29577951308232;

// Mechanics of a small desktop arm, chosen so that a hand-sized force moves
// the end effector by centimetres in a fraction of a second.
constexpr Vec3 INERTIA = {0.003, 0.004, 0.004};  // [kg m^2], motor side
constexpr double JOINT_DAMPING = 0.03;           // [N m s/rad]
constexpr double MAX_TORQUE = 1.5;               // per motor [N m]
constexpr double MAX_FORCE = 15.0;               // end-effector command [N]
constexpr double POSITION_STIFFNESS = 300.0;     // [N/m]
constexpr double POSITION_DAMPING = 10.0;        // [N s/m]
constexpr double JOINT_STIFFNESS = 3.0;          // [N m/rad]
constexpr double JOINT_DAMPING_GAIN = 0.2;       // [N m s/rad]
constexpr double TORQUE_CONSTANT = 0.2;          // [N m/A], at the joint
// End stops [deg]. The elbow ranges keep the two first links apart, where
// the linkage has no position.
constexpr Vec3 LOWER_LIMIT = {-60.0, -80.0, -180.0};
constexpr Vec3 UPPER_LIMIT = {60.0, 0.0, -100.0};

constexpr double AMBIENT_CELSIUS = 31.0;
constexpr double CELSIUS_PER_SQUARE_AMPERE = 0.5;
constexpr double THERMAL_TIME_CONSTANT = 20.0;  // [s]
// Beyond this lag (a stopped process) the simulation jumps instead of
// replaying every step.
constexpr double LONGEST_CATCH_UP = 1.0;  // [s]
constexpr double JACOBIAN_STEP = 0.05;    // [deg]

double clamp(double value, double limit) { return std::max(-limit, std::min(limit, value)); }

}  // namespace

const Vec3 ArmSimulation::HOME = {0.0, -45.0, -135.0};

ArmSimulation::ArmSimulation(double watchdog, double now)
    : watchdog(watchdog), time(now), angles(HOME), celsius(AMBIENT_CELSIUS), command_time(now) {
    // The defaults that every host-side arm device starts from.
    model.head_gear_ratio_coeff = 1.0f;
    model.inner_arm_gear_ratio_coeff = 1.0f;
    model.outer_arm_gear_ratio_coeff = 1.0f;
    model.angle_offsets = {0.0f, 0.0f, 0.0f};
    model.setup_model(0.14f, 0.14f, 0.165f, 0.165f, 0.0765f);
}

void ArmSimulation::command(Mode new_mode, const Float3& values, double now) {
    advance(now);
    mode = new_mode;
    for (std::size_t i = 0; i < 3; ++i) target[i] = std::isfinite(values[i]) ? values[i] : 0.0;
    command_time = now;
    // The motors take the new command at once; the currents report it
    // before the next step.
    Matrix3 j{};
    const bool have_j = (mode == Mode::force || mode == Mode::position) && jacobian(angles, j);
    torques = motor_torques(j, have_j);
}

void ArmSimulation::push(const Vec3& force, double now) {
    advance(now);
    for (std::size_t i = 0; i < 3; ++i) pushed[i] = std::isfinite(force[i]) ? force[i] : 0.0;
}

void ArmSimulation::advance(double now) {
    if (now - time > LONGEST_CATCH_UP) time = now - LONGEST_CATCH_UP;
    while (time + STEP <= now) step();
}

Vec3 ArmSimulation::forward(const Vec3& r) const {
    const Float3 p =
        model.forward_kinematics(static_cast<float>(r[0]), static_cast<float>(r[1]), static_cast<float>(r[2]));
    return {p[0], p[1], p[2]};
}

bool ArmSimulation::jacobian(const Vec3& r, Matrix3& j) const {
    for (std::size_t column = 0; column < 3; ++column) {
        Vec3 ahead = r;
        Vec3 behind = r;
        ahead[column] += JACOBIAN_STEP;
        behind[column] -= JACOBIAN_STEP;
        const Vec3 p_ahead = forward(ahead);
        const Vec3 p_behind = forward(behind);
        for (std::size_t row = 0; row < 3; ++row) {
            j[row][column] = (p_ahead[row] - p_behind[row]) / (2.0 * JACOBIAN_STEP) * DEGREES_PER_RADIAN;
            if (!std::isfinite(j[row][column])) return false;
        }
    }
    return true;
}

Vec3 ArmSimulation::motor_torques(const Matrix3& j, bool have_j) const {
    Vec3 omega;
    for (std::size_t i = 0; i < 3; ++i) omega[i] = rates[i] / DEGREES_PER_RADIAN;
    Vec3 tau{};
    Vec3 force{};
    bool through_jacobian = false;
    switch (mode) {
        case Mode::limp: break;
        case Mode::joint_torques: tau = target; break;
        case Mode::joint_angles:
            for (std::size_t i = 0; i < 3; ++i) {
                tau[i] = JOINT_STIFFNESS * (target[i] - angles[i]) / DEGREES_PER_RADIAN - JOINT_DAMPING_GAIN * omega[i];
            }
            break;
        case Mode::force:
            force = target;
            through_jacobian = true;
            break;
        case Mode::position: {
            const Vec3 p = forward(angles);
            for (std::size_t row = 0; row < 3; ++row) {
                double v = 0.0;
                for (std::size_t column = 0; column < 3; ++column) v += j[row][column] * omega[column];
                force[row] = POSITION_STIFFNESS * (target[row] - p[row]) - POSITION_DAMPING * v;
                if (!std::isfinite(force[row])) force[row] = 0.0;
            }
            through_jacobian = true;
            break;
        }
    }
    if (through_jacobian) {
        if (!have_j) return {0.0, 0.0, 0.0};
        const double magnitude = std::sqrt(force[0] * force[0] + force[1] * force[1] + force[2] * force[2]);
        if (magnitude > MAX_FORCE) {
            for (double& f : force) f *= MAX_FORCE / magnitude;
        }
        // Transpose of the Jacobian: the joint torques that hold the force.
        for (std::size_t column = 0; column < 3; ++column) {
            tau[column] = 0.0;
            for (std::size_t row = 0; row < 3; ++row) tau[column] += j[row][column] * force[row];
        }
    }
    for (double& t : tau) t = clamp(t, MAX_TORQUE);
    return tau;
}

void ArmSimulation::step() {
    time += STEP;
    if (mode != Mode::limp && time - command_time > watchdog) mode = Mode::limp;

    Matrix3 j{};
    const bool have_j = (mode == Mode::force || mode == Mode::position) && jacobian(angles, j);
    torques = motor_torques(j, have_j);
    // The hand's force reaches the joints as the motors' does, through the
    // transpose of the Jacobian, but no motor limit bounds it.
    Vec3 hand{};
    if (pushed != Vec3{} && (have_j || jacobian(angles, j))) {
        for (std::size_t column = 0; column < 3; ++column) {
            for (std::size_t row = 0; row < 3; ++row) hand[column] += j[row][column] * pushed[row];
        }
    }

    for (std::size_t i = 0; i < 3; ++i) {
        const double omega = rates[i] / DEGREES_PER_RADIAN;
        const double acceleration = (torques[i] + hand[i] - JOINT_DAMPING * omega) / INERTIA[i];
        // Semi-implicit Euler: velocity first, then the angle with it.
        rates[i] += acceleration * STEP * DEGREES_PER_RADIAN;
        angles[i] += rates[i] * STEP;
        if (angles[i] < LOWER_LIMIT[i]) {
            angles[i] = LOWER_LIMIT[i];
            rates[i] = std::max(rates[i], 0.0);
        } else if (angles[i] > UPPER_LIMIT[i]) {
            angles[i] = UPPER_LIMIT[i];
            rates[i] = std::min(rates[i], 0.0);
        }
    }

    double square_amperes = 0.0;
    for (double t : torques) square_amperes += (t / TORQUE_CONSTANT) * (t / TORQUE_CONSTANT);
    const double settled = AMBIENT_CELSIUS + CELSIUS_PER_SQUARE_AMPERE * square_amperes;
    celsius += (settled - celsius) * STEP / THERMAL_TIME_CONSTANT;
}

Float3 ArmSimulation::readings() const {
    return {static_cast<float>(angles[0]), static_cast<float>(angles[1]), static_cast<float>(angles[2])};
}

Float3 ArmSimulation::joint_velocities() const {
    return {static_cast<float>(rates[0]), static_cast<float>(rates[1]), static_cast<float>(rates[2])};
}

Float3 ArmSimulation::position() const {
    const Float3 r = readings();
    return model.forward_kinematics(r[0], r[1], r[2]);
}

Float3 ArmSimulation::velocity() const {
    Matrix3 j{};
    if (!jacobian(angles, j)) return {0.0f, 0.0f, 0.0f};
    Float3 v{};
    for (std::size_t row = 0; row < 3; ++row) {
        double sum = 0.0;
        for (std::size_t column = 0; column < 3; ++column) sum += j[row][column] * rates[column] / DEGREES_PER_RADIAN;
        v[row] = static_cast<float>(sum);
    }
    return v;
}

Float3 ArmSimulation::motor_currents() const {
    return {static_cast<float>(torques[0] / TORQUE_CONSTANT), static_cast<float>(torques[1] / TORQUE_CONSTANT),
            static_cast<float>(torques[2] / TORQUE_CONSTANT)};
}

float ArmSimulation::temperature() const { return static_cast<float>(celsius); }

}  // namespace kivra_emulator

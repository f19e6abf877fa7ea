/*
 * A host program as a developer writes it against an installed qor: plain C,
 * only the public headers, linked through find_package() or pkg-config.
 *
 * Usage: qor_host TARGET
 * Opens port 1 on TARGET (a simulator's pseudo-terminal), then runs a few
 * transactions against module "1" and checks each status/error pair.
 * Exits 0 when every step succeeded, 1 otherwise, naming the failed step.
 */
#include <math.h>
#include <qor_comm.h>
#include <qor_dll.h>
#include <stdio.h>

enum { PORT = 1 };

static int failures = 0;

static void expect_ok(const char *step, int status, int error) {
    if (status != 0 || error != 0) {
        fprintf(stderr, "qor_host: %s: status %d, error %d\n", step, status, error);
        ++failures;
    }
}

int main(int argc, char **argv) {
    int status = -1;
    int error = -1;
    int mode = -2;
    float value;
    int bit;

    if (argc != 2) {
        fprintf(stderr, "usage: qor_host TARGET\n");
        return 2;
    }
    if (!QOR_OpenPort(PORT, argv[1])) {
        fprintf(stderr, "qor_host: cannot open port %d on %s\n", PORT, argv[1]);
        return 1;
    }

    value = QOR_RD(PORT, '1', &status, &error);
    expect_ok("RD", status, error);
    if (status == 0 && fabsf(value - 72.10f) > 0.001f) {
        fprintf(stderr, "qor_host: RD gave %.2f, expected 72.10\n", (double)value);
        ++failures;
    }

    /* The same query with checksummed frames and replies. */
    QOR_EnableCmdChecksum(1);
    status = error = -1;
    value = QOR_RD(PORT, '1', &status, &error);
    expect_ok("RD with checksum", status, error);
    QOR_EnableCmdChecksum(0);

    status = error = -1;
    QOR_HI(PORT, '1', QOR_MODE_LATCHING, 100.0f, &status, &error);
    expect_ok("HI", status, error);
    status = error = -1;
    value = QOR_RH(PORT, '1', &mode, &status, &error);
    expect_ok("RH", status, error);
    if (status == 0 && (fabsf(value - 100.0f) > 0.001f || mode != QOR_MODE_LATCHING)) {
        fprintf(stderr, "qor_host: RH gave %.2f mode %d, expected 100.00 mode 1\n", (double)value,
                mode);
        ++failures;
    }

    status = error = -1;
    bit = QOR_DI(PORT, '1', 2, 1, 0, &status, &error);
    expect_ok("DI", status, error);
    if (bit != 0 && bit != 1) {
        fprintf(stderr, "qor_host: DI gave %d, expected 0 or 1\n", bit);
        ++failures;
    }

    /* The library skips writes through NULL status and error pointers. */
    (void)QOR_RD(PORT, '1', NULL, NULL);

    QOR_ClosePort(PORT);
    if (failures == 0) {
        printf("qor_host: ok\n");
    }
    return failures == 0 ? 0 : 1;
}

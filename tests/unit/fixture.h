/*
 * fixture.h - a fresh machine and a fresh program state for each test.
 */
#ifndef TESTS_FIXTURE_H
#define TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include "install.h"
#include "standin.h"

/* Puts every global of the program back to its state at program start
 * (the compiled-in tables that the program changes included) and gives
 * the stand-in a fresh machine. */
void resetProgram();

/* Sets the version the stand-in reports and reads it into OSInfo the way
 * WinMain does. */
void usePlatform(standin::Version v);

/* What the run left open, and the errors the stand-in found (a box that
 * could never appear): both empty after every test of the program. */
void expectCleanRun();

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override { resetProgram(); }
    void TearDown() override { expectCleanRun(); }
};

#endif

#!/usr/bin/env python3
"""check_inf.py on driver/Tavrin.inf and on copies of it changed the ways a
package goes wrong: a catalog the build does not make, a DefaultInstall."""
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_inf  # noqa: E402

INF = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "Tavrin.inf")


def errors_of(text):
    with tempfile.NamedTemporaryFile("w", suffix=".inf", delete=False, encoding="utf-8") as file:
        file.write(text)
    try:
        return check_inf.check(file.name)
    finally:
        os.unlink(file.name)


class CheckInfTest(unittest.TestCase):
    def setUp(self):
        with open(INF, encoding="utf-8") as file:
            self.text = file.read()

    def test_the_package_inf_is_sound(self):
        self.assertEqual(check_inf.check(INF), [])

    def test_a_catalog_line_is_refused(self):
        text = self.text.replace("PnpLockdown = 1", "PnpLockdown = 1\nCatalogFile = Tavrin.cat")
        self.assertIn("CatalogFile Tavrin.cat", " ".join(errors_of(text)))

    def test_a_default_install_is_refused(self):
        text = self.text + "\n[DefaultInstall.NTamd64]\nCopyFiles = Tavrin_CopyFiles\n"
        self.assertIn("[DefaultInstall]", " ".join(errors_of(text)))


if __name__ == "__main__":
    unittest.main()

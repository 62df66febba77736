"""Installs zelmar_sim_startup.pth beside the package: the start-up hook (zelmar_sim/startup.py)."""
import os

from setuptools import setup
from setuptools.command.build_py import build_py

HOOK = "zelmar_sim_startup.pth"


class BuildWithHook(build_py):
    def run(self) -> None:
        super().run()
        # A .pth file at the top of site-packages is read by site at every start-up.
        self.copy_file(os.path.join(os.path.dirname(os.path.abspath(__file__)), HOOK), os.path.join(self.build_lib, HOOK))


setup(cmdclass={"build_py": BuildWithHook})

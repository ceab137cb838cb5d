"""Type information for the compiled module vostelmotor: drive the grating motor of a
tunable laser in wavelength units (nm) through an EPOS2 positioning controller."""
import ctypes as ct
import os as os
import shutil as shutil
import tkinter as tk
from math import frexp as frexp
from time import sleep as sleep
from tkinter import filedialog as filedialog
from tkinter import messagebox as messagebox
from typing import List, Optional, Tuple

import numpy as np


class motor:
    DLL_FILENAME: str
    eposdll: ct.CDLL
    _inLimitSwitch: bool
    currentVelocityWL: ct.c_float
    _dutyCycle: float

    def __init__(self) -> None:
        ...

    def connect(self, usb: str = 'USB0') -> bool:
        """Tries to establish a connection to the Epos
        
        Parameters
        ----------
        usb: the usb port on which the connection should be established, default = 'USB0'

        Returns True if successful

        """

    def disconnect(self) -> None:
        """Closes the Connection to the EPOS and stores all parameters
        """

    def getWavelengthMinMax(self) -> List[float]:
        """Returns an array with [Minimum Wavelength, Maximum Wavelength]
        return: (float,float)
        """

    def setVelocityParameter(self, velocity: float, acceleration: float, deceleration: float) -> None:
        """Converts the given parameters from nm/s to Revolutions per Minute(rpm) and nm/s^2 to rpm/s
        and stores them on the Epos.

        Parameters
        ----------
        velocity: int
            given in nm/s
        acceleration: int
            given in nm/s^2
        deceleration: int
            given in nm/s^2

        if the given values aren't in the range it will set them to the possible maximum or minimum
        """

    def getVelocityParameter(self) -> Tuple[float, float, float]:
        """Returns Velocity, Acceleration and Deceleration in nm/s or nm/s^2
        (float,float,float)
        """

    def calibration(self, wavelength: float) -> None:
        """Sets the current motorposition to the wavelengthposition according to the given wavelength

        Parameters
        ----------
        wavelength: float
            wavelength in nm to calibrate the system to
        """

    def moveToWavelength(self, wavelength: float, highPrecision: int = 0, trigger: int = 0) -> float:
        """Moves the Motor to a given Wavelength

        Parameters
        ----------
        wavelength: float
            wavelength in nm
        highPrecision: bool
            true -> High Precision Mode activated. When the relative movement is negative the Motor drives 3000 or 10000 steps below the goal
            to always come up to it with a positive movement. Stepcount depening on the motorscrew used.
            default = 0
        trigger: int
            0 -> no Trigger activated
            1 -> Position Compare Trigger activated gives a Signal every ? nm
            2 -> Movement Trigger activated
            default = 0

        Returns the current wavelength
        """

    def moveSteps(self, steps: int, trigger: int = 0) -> float:
        """Moves A certain amount of Steps up to 5000 in either direction

        Parameters
        ----------
        steps: int
            Number of steps to move
        trigger: int
            0 -> no Trigger activated
            1 -> Position Compare Trigger activated gives a Signal every ? nm
            2 -> Movement Trigger activated
            default = 0

        Returns the current wavelength
        """

    def stopMovement(self) -> None:
        """Switches the stop-variable to true
        """

    def triggerParameter(self, intervalWidth: float) -> None:
        """Sets the Parameters for the Positiom Compare Trigger

        Parameters
        ----------
        IntervalWidth: float
            Interval width for the trigger signal in nm
        """

    def reverseMotionTrigger(self) -> None:
        """Reverses the Digital Output for MotionTrigger
        """

    def getMoving(self) -> bool:
        """return whether the system is moving or not
        return True for moving / False for standing
        return: bool
        """

    def getWavelength(self) -> float:
        """Returns the wavelength actual value calculated out of the motorposition
        return: float
            Wavelength in nm
        """

    def getCurrent(self) -> int:
        """returns the current actual value
        return: float
            current in mA
        """

    def generateSupportData(self) -> None:
        """Asks the user for a file location to save support data and enables support data collection."""

    def getMotorParamters(self) -> Tuple[float, float, float, float, float, float, float, float, float, float, float]:
        """returns Coefficent A, Coefficent B, Coefficent C, min Wavelength, max Wavelength, min Velocity,
        min Acceleration, min Deceleration, max Velocity, max Acceleration, max Deceleration
        of the used System
        """

    def _try_load(self, dll_path: str) -> Optional[ct.CDLL]:
        ...

    def _prompt_for_dll_and_copy(self, target_dir: str) -> Optional[str]:
        """Show a GUI file picker to let the user select the DLL and copy it."""

    def load_epos_dll(self, package_dir: Optional[str] = None) -> ct.CDLL:
        """Load the DLL if it exists, otherwise prompt the user once."""

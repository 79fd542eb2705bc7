// Opens an image with ImageJ's own reader (no window: headless) and prints
// the value at one pixel as ImageJ shows it under the cursor, with its unit:
//   java -Djava.awt.headless=true -cp ij.jar ImageJProbe.java FILE X Y
import ij.ImagePlus;
import ij.io.Opener;

public class ImageJProbe {
    public static void main(String[] args) {
        ImagePlus image = new Opener().openImage(args[0]);
        if (image == null) {
            System.out.println("ImageJ could not open " + args[0]);
            System.exit(1);
        }
        int x = Integer.parseInt(args[1]), y = Integer.parseInt(args[2]);
        // getPixelValue applies the calibration of 8- and 16-bit images; a
        // float image holds its values as they are.
        float value = image.getProcessor().getPixelValue(x, y);
        System.out.println("bits=" + image.getBitDepth() + " value=" + value + " unit="
                           + image.getCalibration().getValueUnit());
    }
}

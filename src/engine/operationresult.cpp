#include "operationresult.h"

OperationResult::Outcome OperationResult::outcomeOf(UpdateImage::Problem problem)
{
    switch (problem) {
    case UpdateImage::Problem::None:
        return Outcome::Success;
    case UpdateImage::Problem::Empty:
        return Outcome::ImageEmpty;
    case UpdateImage::Problem::TooLarge:
        return Outcome::ImageTooLarge;
    default:
        break;
    }
    return Outcome::FileNotReadable;
}
